// Feeds arbitrary bytes to the raw SQLite reader as a database file and drives every reader
// and the carver over it; it must end without a fault, however the pages point.
#include "support/sqlitefilewalk.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <unistd.h>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

QString scratchPath()
{
    static const QString path
        = QDir::temp().filePath(QStringLiteral("fuzz_sqlite3file_%1.db").arg(getpid()));
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool installed = (qInstallMessageHandler(quiet), true);
    (void)installed;
    QFile file(scratchPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();
    walkSqliteFile(scratchPath());
    return 0;
}
