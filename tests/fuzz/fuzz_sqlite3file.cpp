// Feeds arbitrary bytes to the raw SQLite reader as a database file and drives every reader
// and the carver over it; it must end without a fault, however the pages point.
#include "fuzzsupport.h"

#include "support/sqlitefilewalk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    walkSqliteFile(fuzz::writeScratchFile(QStringLiteral("file.db"), data, size));
    return 0;
}
