// Feeds arbitrary bytes to the unpacking of the file-relay service's archive: nothing may be
// written outside the target folder, whatever the archive's names say.
#include "fuzzsupport.h"

#include "device/filerelayarchive.h"

#include <QDirIterator>

#include <cstdlib>
#include <stdexcept>

namespace {

// Blocks of unpacked data allowed per input: a small archive may unpack to gigabytes.
constexpr int maxBlocks = 16;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString archive = fuzz::writeScratchFile(QStringLiteral("file-relay.cpio"), data, size);
    const QDir scratch(fuzz::scratchFolder());
    const QString out = scratch.filePath(QStringLiteral("out"));
    // Deep enough that a name climbing out still lands in the scratch folder, where it is seen.
    const QString target = out + QStringLiteral("/a/b/c/file-relay");
    QDir(out).removeRecursively();
    QDir().mkpath(target);
    int blocks = 0;
    fuzz::attempt([&] {
        extractFileRelayArchive(archive, QDir(target), [&](const QString &, const QString &detail) {
            if (!detail.isEmpty() && ++blocks > maxBlocks)
                throw std::runtime_error("enough");
        });
    });
    if (scratch.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)
        != QStringList { QStringLiteral("file-relay.cpio"), QStringLiteral("out") })
        abort();
    QDirIterator it(out, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!target.startsWith(path + QLatin1Char('/')) && path != target
            && !path.startsWith(target + QLatin1Char('/')))
            abort();
    }
    return 0;
}
