// Feeds arbitrary bytes to the deleted-row scans as the sms.db of a phone: the iOS 5 message
// scan, and the iOS 6+ handle and message scans, each into a fresh recycle store.
#include "fuzzsupport.h"

#include "messages/ios5messagedb.h"
#include "messages/ios6messagedb.h"

#include <QFile>

namespace {

const QString country = QStringLiteral("310");

QString dataFolder()
{
    return QDir(fuzz::scratchFolder()).filePath(QStringLiteral("data"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QDir folder(dataFolder());
    folder.removeRecursively();
    const QString smsDb
        = folder.filePath(QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db"));
    QDir().mkpath(QFileInfo(smsDb).absolutePath());
    QFile file(smsDb);
    if (!file.open(QIODevice::WriteOnly))
        return 0;
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();

    fuzz::attempt([&] {
        IOS5MessageDb db(folder, country);
        db.scanDeletedMessages(nullptr);
    });
    QFile::remove(folder.filePath(QStringLiteral("recycle.db")));
    fuzz::attempt([&] {
        IOS6MessageDb db(folder, country, false);
        db.scanDeletedHandles(nullptr);
        QSharedPointer<MsgMessageSet> set;
        MsgMessageSet::create(set);
        db.chats(set);
        db.scanDeletedMessages(set->chats(), nullptr);
    });
    return 0;
}
