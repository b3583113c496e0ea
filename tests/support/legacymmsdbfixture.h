// Builds a local database of the old single-file layout: "mms.db" in a folder, with the
// attachment files in its "attachments" sub-folder.
#pragma once

#include "platform/samplephones/fixturedb.h"

#include <QByteArray>
#include <QString>

class LegacyMmsDbFixture
{
public:
    // Creates `folder`/mms.db (replacing an earlier one) with the old tables.
    explicit LegacyMmsDbFixture(const QString &folder);

    QString path() const { return m_file.path(); }
    void close() { m_file.close(); }

    qint64 addHandle(const QString &address, const QString &person);
    // `unixDate`: seconds since 1970, as the old layout stored them.
    qint64 addMessage(qint64 handle, const QString &body, qint64 unixDate, bool sent = false,
        const QString &subject = QString());
    // Links an attachment row to the message; a null `content` leaves its file missing.
    qint64 addAttachment(qint64 message, const QString &filename, const QString &mimeType,
        const QByteArray &content);

private:
    QString m_folder;
    FixtureDb m_file;
};
