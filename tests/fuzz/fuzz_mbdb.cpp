// Feeds arbitrary bytes to the Manifest.mbdb reader; whatever it accepts must write back
// and read again to the same records.
#include "backup/mbdb.h"

#include <QBuffer>
#include <cstdlib>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));
    QBuffer in(&bytes);
    in.open(QIODevice::ReadOnly);
    MbdbIndex index;
    try {
        index = readMbdb(&in);
    } catch (const std::runtime_error &) {
        return 0;
    }

    QByteArray written("mbdb\x05\x00", 6);
    QBuffer out(&written);
    out.open(QIODevice::WriteOnly | QIODevice::Append);
    for (const MbdbRecord &r : qAsConst(index))
        mbdbWriteRecord(&out, r);
    out.close();

    QBuffer again(&written);
    again.open(QIODevice::ReadOnly);
    const MbdbIndex reread = readMbdb(&again);
    if (reread.size() != index.size())
        abort();
    for (auto it = index.cbegin(); it != index.cend(); ++it) {
        const MbdbRecord &r = reread.value(it.key());
        if (r.Size != it->Size || r.Path.Bytes != it->Path.Bytes
            || r.Properties.size() != it->Properties.size())
            abort();
    }
    return 0;
}
