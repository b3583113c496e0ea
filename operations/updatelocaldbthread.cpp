#include "operations/updatelocaldbthread.h"

#include "operations/exportmessagesdb.h"
#include "records/countrylibdb.h"
#include "records/msgidentity.h"
#include "shell/datafolder.h"
#include "shell/progressform.h"

#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace {

const char kLegacyFile[] = "mms.db";
const char kKeptFile[] = "mms.db-bak";

QStringList subfolders(const QDir &folder)
{
    QStringList list;
    for (const QString &name : folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        list.append(folder.filePath(name));
    return list;
}

// The file of an old attachment row, or empty when its stored name would lead outside the
// folder's "attachments" (the row then counts as one whose file is missing).
QString attachmentFile(const QDir &oldFolder, const QString &relative)
{
    const QString base = QDir::cleanPath(oldFolder.absoluteFilePath(QStringLiteral("attachments")));
    const QString path = QDir::cleanPath(oldFolder.absoluteFilePath(relative));
    return path.startsWith(base + QLatin1Char('/')) ? path : QString();
}

void giveContentGuid(_MsgMessage &m)
{
    m.guid = makeGuidFromData(m.logicHash().toUtf8());
}

} // namespace

UpdateLocalDbThread::UpdateLocalDbThread(ProgressForm *form, QObject *parent)
    : UpdateLocalDbThread(form, dataFolder(), parent)
{
}

UpdateLocalDbThread::UpdateLocalDbThread(
    ProgressForm *form, const QDir &dataFolder, QObject *parent)
    : QThread(parent)
    , form(form)
    , data(dataFolder)
{
}

UpdateLocalDbThread::~UpdateLocalDbThread() = default;

QStringList UpdateLocalDbThread::legacyFolders(const QDir &dataFolder)
{
    QStringList found;
    const QStringList candidates
        = subfolders(QDir(dataFolder.filePath(QStringLiteral("local_databases"))))
        + subfolders(QDir(dataFolder.filePath(QStringLiteral("data"))));
    for (const QString &folder : candidates) {
        if (QFileInfo(QDir(folder).filePath(QLatin1String(kLegacyFile))).isFile())
            found.append(folder);
    }
    return found;
}

void UpdateLocalDbThread::run()
{
    try {
        const QDir localDatabases(data.filePath(QStringLiteral("local_databases")));
        for (const QString &folder : legacyFolders(data)) {
            const QDir old(folder);
            ProgressForm::postUpdateProgress(
                form, tr("IDS_UPDATING_LOCALDB_%1_MESSAGES").arg(old.dirName()), 0, QString());
            convertDb(old, QDir(localDatabases.filePath(old.dirName())));
            // An earlier conversion may have left its kept file: never overwrite it, and
            // never leave "mms.db" in place, or every start would convert it again.
            const QString from = old.filePath(QLatin1String(kLegacyFile));
            const QString to = uniqueFilePath(old.filePath(QLatin1String(kKeptFile)));
            if (!QFile::rename(from, to))
                throw std::runtime_error(
                    QStringLiteral("can not rename %1 to %2.").arg(from, to).toStdString());
        }
    } catch (const std::exception &e) {
        ProgressForm::postErrorOccurred(form, QString::fromUtf8(e.what()));
        return;
    }
    ProgressForm::postSucceed(
        form, QStringLiteral("Successfully updated local database. Please restart software."));
}

void UpdateLocalDbThread::convertDb(const QDir &oldFolder, const QDir &newFolder)
{
    const QString path = oldFolder.filePath(QLatin1String(kLegacyFile));
    if (!QFileInfo::exists(path))
        return;
    Sqlite3DB old;
    old.openThrow(path, Sqlite3DB::ReadWrite);
    QList<Sqlite3Row> rows;
    {
        Sqlite3Cursor c = old.queryThrow(
            Sqlite3Sql("select m.*, h.address,h.person from message as m inner join handle as h "
                       "on m.handle_id=h.rowid"));
        while (c.moveNext())
            rows.append(c.getRow());
    }

    ExportMessagesDb writer(newFolder, QString());
    writer.begin();
    // The writer's database has the same empty country code, so the same current country.
    CountryLibDb countries { QString() };
    const _CountryInfo country = countries.currentCountry();
    const int n = rows.size();
    for (int i = 1; i <= n; ++i) {
        ProgressForm::postUpdateProgress(form, QString(), int(double(i) / n * 100), QString());
        const Sqlite3Row &row = rows.at(i - 1);
        const QString address
            = CountryLibDb::normalizeNumber(country, row.getText(QStringLiteral("address")));

        _MsgHandle handle;
        handle.id = address;
        handle.service = QStringLiteral("SMS");
        handle.contactName = row.getText(QStringLiteral("person"));
        _MsgChat chat;
        chat.guid = QStringLiteral("SMS;-;") + address;
        chat.chat_identifier = address;
        chat.handles.insert(address, &handle);

        _MsgMessage base;
        base.handle = &handle;
        base.chat = &chat;
        base.text = row.getText(QStringLiteral("body"));
        base.subject = row.getText(QStringLiteral("subject"));
        base.service = QStringLiteral("SMS");
        base.account = QStringLiteral("e:");
        base.date = qint32(row.getInt64(QStringLiteral("date")) - RecordEpochOffset);
        base.date_read = base.date;
        base.date_delivered = base.date;
        base.is_from_me = row.getInt(QStringLiteral("is_send")) != 0 ? 1 : 0;
        base.is_finished = 1;
        base.is_prepared = 1;
        base.is_read = 1;
        base.is_sent = 1;
        base.was_data_detected = 1;

        const QString plain = base.plainText();
        if (!plain.isEmpty()) {
            _MsgMessage text = base;
            text.text = plain;
            giveContentGuid(text);
            writer.write(&text);
        }

        Sqlite3Cursor a = old.queryThrow(
            QStringLiteral("select a.* from attachment as a  inner join message_attachment as ma "
                           "on ma.attachment_id=a.rowid and ma.message_id=%1")
                .arg(row.getInt64(QStringLiteral("rowid"))));
        while (a.moveNext()) {
            const QString relative
                = QStringLiteral("attachments/%1").arg(a.getText(QStringLiteral("filename")));
            const QString type = a.getText(QStringLiteral("mime_type"));
            const QString file = attachmentFile(oldFolder, relative);
            if (type.isEmpty()
                || type.startsWith(QLatin1String("application/"), Qt::CaseInsensitive))
                continue;
            if (type.compare(QLatin1String("text/plain"), Qt::CaseInsensitive) == 0) {
                QFile content(file);
                if (file.isEmpty() || !content.open(QIODevice::ReadOnly))
                    continue;
                const QString words = QString::fromUtf8(content.readAll()).trimmed();
                if (words.isEmpty())
                    continue;
                _MsgMessage text = base;
                text.text = words;
                giveContentGuid(text);
                writer.write(&text);
                continue;
            }

            _MsgAttachment attachment;
            attachment.guid = makeGuidFromData(relative.toUtf8());
            const QString name = relative.section(QLatin1Char('/'), -1);
            const QString lower = attachment.guid.toLower();
            attachment.created_date = base.date;
            attachment.filename = QStringLiteral("~/Library/SMS/Attachments/%1/%2/%3/%4")
                                      .arg(lower.left(2), lower.mid(2, 2), attachment.guid, name);
            attachment.uti = QStringLiteral("public.") + type.split(QLatin1Char('/')).value(1);
            attachment.mime_type = type;
            attachment.transfer_state = 5;
            attachment.is_outgoing = base.is_from_me;
            attachment.transfer_name = name;
            attachment.localPath = file;

            _MsgMessage media = base;
            media.attachments.insert(attachment.guid, &attachment);
            media.text = QString(QChar(0xFFFC));
            giveContentGuid(media);
            media.attributedBody = makeAttributedBody(attachment.guid);
            writer.write(&media);
        }
    }
    writer.end();
    old.close();
}
