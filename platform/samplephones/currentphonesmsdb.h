// Builds a device sms.db as a phone of recent years writes it: many more columns than the
// program reads, times in nanoseconds since 2001, rows whose words live only in
// attributedBody, and the phone's triggers: some call functions only the phone defines, some
// record every deleted row for syncing.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "platform/samplephones/fixturedb.h"

class CurrentPhoneSmsDb
{
public:
    struct Message
    {
        QString text; // the words
        bool textInBodyOnly = false; // text column NULL, words only in attributedBody
        qint64 handle = 0; // handle row id; 0 for messages from the owner in groups
        qint32 date = 0; // record date (seconds since 2001), stored in nanoseconds
        bool fromMe = false;
        QString service = QStringLiteral("iMessage");
        QString guid; // made up when empty
    };

    // Creates the file beneath dataFolder's "file-relay" tree (replacing an earlier one).
    explicit CurrentPhoneSmsDb(const QString &dataFolder);
    ~CurrentPhoneSmsDb();

    static QString smsDbPath(const QString &dataFolder);
    QString path() const { return m_file.path(); }
    // The phone's own connection, with its trigger functions defined.
    Sqlite3DB &db();
    // Closes the connection; the adders reopen it.
    void close();

    qint64 addHandle(const QString &id, const QString &service = QStringLiteral("iMessage"),
        const QString &country = QStringLiteral("us"));
    // One handle makes a one-to-one chat, more make a group.
    qint64 addChat(const QString &identifier, const QList<qint64> &handles,
        const QString &service = QStringLiteral("iMessage"),
        const QString &displayName = QString());
    // Adds the message to the chat; returns its row id.
    qint64 addMessage(qint64 chat, const Message &message);
    // An attachment of a message stored as "~/Library/SMS/Attachments/..." with its file
    // written beneath the file-relay tree; returns its row id.
    qint64 addAttachment(qint64 message, const QString &name, const QString &mimeType,
        const QByteArray &content, qint32 createdDate);

    // The typed-stream archive a phone stores in attributedBody for plain words.
    static QByteArray attributedBody(const QString &text);
    // What the phone stores for a record date: nanoseconds, with a fraction of a second.
    static qint64 storedDate(qint32 date);

private:
    QString m_dataFolder;
    FixtureDb m_file;
    int m_guidCounter = 0;
};
