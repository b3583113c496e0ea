#include "support/simulatedphone.h"

#include "platform/samplephones/currentphonesmsdb.h"
#include "platform/samplephones/ios6smsdbfixture.h"
#include "platform/sqlite_qt/sqlite_qt.h"
#include "support/ios5smsdbfixture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

constexpr qint32 firstDate = 400000000; // seconds since 2001

} // namespace

SimulatedPhone::SimulatedPhone(const QString &devicesFolder, const QString &udid,
    const QString &name, const QString &productVersion, Layout layout)
    : m_device(QDir(devicesFolder).filePath(udid))
    , m_udid(udid)
    , m_layout(layout)
{
    m_device.setIdentity(udid, name, productVersion);
    m_device.setBackupReady(qlonglong(16) << 30, qlonglong(15) << 30);
}

QString SimulatedPhone::smsDbRelativePath()
{
    return QStringLiteral("var/mobile/Library/SMS/sms.db");
}

QString SimulatedPhone::fileSystemPath(const QString &relative) const
{
    return QDir(m_device.fileSystemPath()).filePath(relative);
}

SimulatedPhone &SimulatedPhone::addChat(const QString &address, const QStringList &texts)
{
    m_chats.append({ address, texts });
    return *this;
}

SimulatedPhone &SimulatedPhone::addAttachmentFiles(int count, int bytes)
{
    for (int i = 0; i < count; ++i) {
        // Like pictures, the bytes do not compress.
        QByteArray content(bytes, '\0');
        quint32 state = 2654435761u * quint32(i + 1);
        for (int j = 0; j < bytes; ++j) {
            state = state * 1664525u + 1013904223u;
            content[j] = static_cast<char>(state >> 24);
        }
        m_device.addFile(QStringLiteral("var/mobile/Library/SMS/Attachments/%1/%2/IMG_%3.JPG")
                             .arg(i % 16, 2, 16, QLatin1Char('0'))
                             .arg(i % 7, 2, 10, QLatin1Char('0'))
                             .arg(i, 4, 10, QLatin1Char('0')),
            content);
    }
    return *this;
}

SimulatedPhone &SimulatedPhone::setBackupPassword(const QString &password)
{
    m_device.setValue(
        QStringLiteral("com.apple.mobile.backup"), QStringLiteral("WillEncrypt"), true);
    m_device.setValue(
        QStringLiteral("com.apple.mobile.backup"), QStringLiteral("BackupPassword"), password);
    return *this;
}

SimulatedPhone &SimulatedPhone::setFaults(const QString &key, const QVariantMap &faults)
{
    m_extraFaults.insert(key, faults);
    return *this;
}

void SimulatedPhone::writeDatabase(const QString &dataFolder) const
{
    qint32 date = firstDate;
    switch (m_layout) {
    case Ios5: {
        IOS5SmsDbFixture db(dataFolder);
        qint64 hash = 1;
        for (const Chat &chat : m_chats) {
            const qint64 group = db.addGroup(hash++);
            db.addMember(group, chat.address);
            for (const QString &text : chat.texts) {
                IOS5SmsDbFixture::Sms sms;
                sms.group = group;
                sms.address = chat.address;
                sms.text = text;
                sms.date = qint64(date += 60) + 978307200;
                db.addSms(sms);
            }
        }
        db.close();
        break;
    }
    case Ios6: {
        IOS6SmsDbFixture db(dataFolder, IOS6SmsDbFixture::Ios6);
        db.db().beginTran();
        int guid = 0;
        for (const Chat &chat : m_chats) {
            const qint64 handle = db.addHandle(chat.address);
            const qint64 row = db.addChat(QStringLiteral("SMS;-;") + chat.address, chat.address);
            db.joinChatHandle(row, handle);
            for (const QString &text : chat.texts) {
                IOS6SmsDbFixture::Message message;
                message.guid = QStringLiteral("00000000-0000-0000-0000-%1")
                                   .arg(++guid, 12, 10, QLatin1Char('0'));
                message.text = text;
                message.handle = handle;
                message.date = date += 60;
                db.joinChatMessage(row, db.addMessage(message));
            }
        }
        db.db().commitTran();
        db.close();
        break;
    }
    case Current: {
        CurrentPhoneSmsDb db(dataFolder);
        db.db().beginTran();
        for (const Chat &chat : m_chats) {
            const qint64 handle = db.addHandle(chat.address);
            const qint64 row = db.addChat(chat.address, { handle });
            for (const QString &text : chat.texts) {
                CurrentPhoneSmsDb::Message message;
                message.text = text;
                message.handle = handle;
                message.date = date += 60;
                db.addMessage(row, message);
            }
        }
        db.db().commitTran();
        db.close();
        break;
    }
    case Neither: {
        Sqlite3DB db;
        const QString path
            = QDir(dataFolder).filePath(QStringLiteral("file-relay/") + smsDbRelativePath());
        QDir().mkpath(QFileInfo(path).absolutePath());
        db.openThrow(path, 6);
        db.executeThrow(Sqlite3Sql("create table notes(id integer primary key, body text)"));
        db.close();
        break;
    }
    case NoDatabase:
        break;
    }
}

bool SimulatedPhone::write()
{
    QTemporaryDir scratch;
    if (!scratch.isValid())
        return false;
    writeDatabase(scratch.path());
    const QString built = QDir(scratch.path()).filePath(QStringLiteral("file-relay/var"));
    if (QFileInfo(built).isDir() && !m_device.moveIntoFileSystem(built, QStringLiteral("var")))
        return false;
    if (!m_device.write())
        return false;
    if (m_extraFaults.isEmpty())
        return true;
    const QString faultsPath = QDir(path()).filePath(QStringLiteral("faults.plist"));
    QVariantMap faults = SimulatedDeviceFolder::fromPlistFile(faultsPath).toMap();
    for (auto it = m_extraFaults.begin(); it != m_extraFaults.end(); ++it)
        faults.insert(it.key(), it.value());
    QFile file(faultsPath);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(SimulatedDeviceFolder::toXmlPlist(faults)) >= 0;
}
