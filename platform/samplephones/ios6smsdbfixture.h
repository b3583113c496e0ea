// Builds a synthetic device sms.db of the iOS 6+ layout beneath a data folder's "file-relay"
// tree, either as iOS 6 wrote it or with the columns later versions added.
#pragma once

#include <QByteArray>
#include <QString>

#include "platform/samplephones/fixturedb.h"

class IOS6SmsDbFixture
{
public:
    // Ios6: without item_type and the other later columns of message, chat and attachment.
    // Ios8: with them. Neither has the local layout's own columns (_last, _ct_name, _photo).
    enum Layout { Ios6, Ios8 };

    // The columns of the message table as iOS 6 declared them.
    static const char *const messageColumns;

    struct Message
    {
        QString guid;
        QString text;
        qint64 handle = 0;
        qint32 date = 0;
        qint32 isFromMe = 0;
        QString service = QStringLiteral("SMS");
        qint32 itemType = 0; // written only in the Ios8 layout
        qint64 otherHandle = -1; // likewise
        QString groupTitle; // likewise
    };

    // Creates the file (replacing an earlier one) with an open connection.
    IOS6SmsDbFixture(const QString &dataFolder, Layout layout = Ios8);
    ~IOS6SmsDbFixture();

    static QString smsDbPath(const QString &dataFolder);
    QString path() const;
    Sqlite3DB &db();
    // Closes the connection; the adders reopen it.
    void close();

    qint64 addHandle(const QString &id, const QString &service = QStringLiteral("SMS"),
        const QString &country = QStringLiteral("us"));
    qint64 addChat(const QString &guid, const QString &identifier,
        const QString &service = QStringLiteral("SMS"), int style = 45,
        const QString &displayName = QString());
    void joinChatHandle(qint64 chat, qint64 handle);
    qint64 addMessage(const Message &message);
    void joinChatMessage(qint64 chat, qint64 message);
    qint64 addAttachment(const QString &guid, const QString &filename, const QString &mimeType);
    void joinMessageAttachment(qint64 message, qint64 attachment);
    // Writes a file beneath the "file-relay" tree, e.g. for an attachment's stored name.
    void writeFile(const QString &relativePath, const QByteArray &content) const;

private:

    QString m_dataFolder;
    Layout m_layout;
    FixtureDb m_file;
};
