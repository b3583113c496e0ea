// Builds a synthetic device sms.db of the iOS 5 layout (SMS groups and members, MMS parts,
// iMessage "madrid" chats and attachments) beneath a data folder's "file-relay" tree.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "platform/samplephones/fixturedb.h"

class IOS5SmsDbFixture
{
public:
    // The optional tables; the message table carries the madrid columns in every case.
    enum Table { MadridChat = 0x1, MadridAttachment = 0x2, MsgPieces = 0x4, AllTables = 0x7 };

    struct Sms
    {
        qint64 group = 0;
        QString address;
        QString text;
        qint64 date = 0; // seconds since 1970, as the device stores SMS dates
        int flags = 2; // 3 = sent by the owner
        QString country = QStringLiteral("us");
        QString subject;
    };

    struct IMessage
    {
        QString guid;
        QString text;
        QString handle;
        QString roomName;
        qint32 date = 0; // seconds since 2001
        qint32 dateRead = 0;
        qint32 dateDelivered = 0;
        QString account;
        QString accountGuid;
        int error = 0;
        QByteArray attachmentInfo;
        QByteArray attributedBody;
    };

    // Creates the file (replacing an earlier one) with an open connection.
    explicit IOS5SmsDbFixture(const QString &dataFolder, int tables = AllTables);
    ~IOS5SmsDbFixture();

    static QString smsDbPath(const QString &dataFolder);
    QString path() const;
    Sqlite3DB &db();
    void close();

    qint64 addGroup(qint64 hash);
    qint64 addMember(
        qint64 group, const QString &address, const QString &country = QStringLiteral("us"));
    // Also makes the message its group's newest_message.
    qint64 addSms(const Sms &sms);
    void setNewestMessage(qint64 group, qint64 message);
    qint64 addPiece(qint64 message, int partId, const QString &contentType,
        const QString &contentLoc, const QByteArray &data = QByteArray());

    // An array of address strings as a binary or XML property list.
    static QByteArray participantsPlist(const QStringList &addresses, bool binary = true);
    qint64 addMadridChat(const QString &identifier, const QByteArray &participants, int style = 45,
        int state = 3, const QString &accountId = QString(),
        const QString &accountLogin = QString());
    qint64 addIMessage(const IMessage &message);
    qint64 addMadridAttachment(
        const QString &guid, const QString &filename, const QString &mimeType, int isIncoming = 1);

    // Writes a file beneath the "file-relay" tree.
    void writeFile(const QString &relativePath, const QByteArray &content) const;
    QString relayFolder() const;

private:

    QString m_dataFolder;
    FixtureDb m_file;
};
