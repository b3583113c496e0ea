// Feeds arbitrary bytes to the backup tool's readers of a backup folder: its file index
// (Manifest.mbdb) and its property lists, read for the keys the tool reads.
#include "fuzzsupport.h"

#include "platform/backuptool/indexfile.h"
#include "platform/backuptool/toolplist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = fuzz::writeScratchFile(QStringLiteral("Manifest.mbdb"), data, size);
    fuzz::attempt([&] {
        for (const IndexRecord &record : readIndexFile(path))
            record.fileId();
    });
    const PlistPtr root = readPlistFile(path);
    stringOf(root.get(), "Version");
    boolOf(root.get(), "IsEncrypted");
    integerOf(root.get(), "SnapshotState");
    dataOf(root.get(), "BackupKeyBag");
    stringOf(dictItem(root.get(), "Lockdown"), "UniqueDeviceID");
    return 0;
}
