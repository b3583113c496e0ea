#include "support/cutphonesmsdb.h"

#include "platform/samplephones/currentphonesmsdb.h"
#include "platform/samplephones/fixturedb.h"
#include "platform/sqlite_qt/sqlite_qt.h"

#include <QFile>

namespace {

QString lastPageTable(Sqlite3DB &db)
{
    return firstValue(db, "select name from dbstat order by pageno desc limit 1").toString();
}

} // namespace

ThreePhoneChats addThreePhoneChats(CurrentPhoneSmsDb &phone)
{
    ThreePhoneChats made;
    made.ann = phone.addHandle("+12015550123");
    made.bob = phone.addHandle("+12015550199", "SMS");
    made.chats = { phone.addChat("+12015550123", { made.ann }),
        phone.addChat("+12015550199", { made.bob }, "SMS"),
        phone.addChat("chat123456789012345678", { made.ann, made.bob }, "iMessage", "T") };
    return made;
}

bool writeCutPhoneSmsDb(const QString &dataFolder, int messages, int cutBytes)
{
    const QString path = CurrentPhoneSmsDb::smsDbPath(dataFolder);
    {
        CurrentPhoneSmsDb phone(dataFolder);
        if (!phone.db().beginTran())
            return false;
        const ThreePhoneChats three = addThreePhoneChats(phone);
        CurrentPhoneSmsDb::Message m;
        // Messages go on until the file's last page is one of the message table: the pages
        // of the join and its indexes are taken in turn with it.
        for (int i = 0; i < messages || lastPageTable(phone.db()) != "message"; ++i) {
            if (i > messages + 200)
                return false;
            m.handle = i % 2 ? three.ann : three.bob;
            m.text = QStringLiteral("words of message %1").arg(i);
            m.textInBodyOnly = i % 3 == 0;
            m.date = 500000000 + i;
            phone.addMessage(three.chats.at(i % 3), m);
        }
        if (!phone.db().commitTran())
            return false;
    }
    QFile file(path);
    return file.size() > cutBytes && file.resize(file.size() - cutBytes);
}

QString writePhoneSmsDbEndingInItsTree(const QString &dataFolder)
{
    CurrentPhoneSmsDb phone(dataFolder);
    const ThreePhoneChats three = addThreePhoneChats(phone);
    const qint64 pageSize = firstValue(phone.db(), "pragma page_size").toLongLong();
    QFile file(phone.path());
    CurrentPhoneSmsDb::Message m;
    // Two such messages fill a page: the tree's root is full after some hundreds of pages.
    for (int i = 0; i < 5000; ++i) {
        m.handle = i % 2 ? three.ann : three.bob;
        m.text = QStringLiteral("words of message %1 ").arg(i).repeated(60);
        m.date = 500000000 + i;
        const qint64 message = phone.addMessage(three.chats.at(i % 3), m);
        if (i % 50 == 0)
            phone.addAttachment(message, QStringLiteral("IMG_%1.jpeg").arg(i), "image/jpeg",
                QByteArray("jpeg"), m.date);
        // An interior page of a table's tree begins with its type, 5.
        char type = 0;
        const bool read = file.open(QIODevice::ReadOnly) && file.seek(file.size() - pageSize)
            && file.getChar(&type);
        file.close();
        if (!read)
            return QString();
        if (type == 5)
            return lastPageTable(phone.db()) == "message" ? phone.path() : QString();
    }
    return QString();
}
