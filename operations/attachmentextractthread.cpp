#include "operations/attachmentextractthread.h"

#include "operations/exportfilename.h"
#include "records/msgidentity.h"
#include "shell/datafolder.h"
#include "shell/progressform.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

namespace {

// The last component of the stored name, cleaned so that it can only name a file directly
// inside the output folder, and short enough for the file system.
QString targetName(const _MsgAttachment &attachment)
{
    const QString local
        = safeFileName(QFileInfo(attachment.localPath).fileName(), QStringLiteral("attachment"));
    return safeFileName(attachment.filename.section(QLatin1Char('/'), -1), local);
}

void setFileTimes(const QString &path, qint32 date)
{
    QFile file(path);
    if (!file.open(QIODevice::Append))
        return;
    const QDateTime time = QDateTime::fromSecsSinceEpoch(qint64(date) + RecordEpochOffset, Qt::UTC);
    file.setFileTime(time, QFileDevice::FileAccessTime);
    file.setFileTime(time, QFileDevice::FileModificationTime);
}

} // namespace

AttachmentExtractThread::AttachmentExtractThread(ProgressForm *form, const MsgMessageList &messages,
    const QString &targetFolder, QObject *parent)
    : QThread(parent)
    , form(form)
    , messages(messages)
    , targetFolder(targetFolder)
{
}

AttachmentExtractThread::~AttachmentExtractThread() = default;

void AttachmentExtractThread::run()
{
    copied = 0;
    failures = 0;
    firstFailure.clear();
    missing = 0;
    firstMissing.clear();
    extracted.clear();
    if (!makeOutputFolder()) {
        ProgressForm::postErrorOccurred(
            form, QStringLiteral("can not create folder %1.").arg(targetFolder.absolutePath()));
        return;
    }
    const int n = messages.size();
    for (int i = 0; i < n; ++i) {
        if (itemHook)
            itemHook(i + 1);
        if (form->failed)
            break;
        ProgressForm::postUpdateProgress(
            form, tr("IDS_EXTRACTING_MEDIA_FILES"), int(double(i + 1) / n * 100), QString());
        const _MsgMessage *message = messages.at(i);
        for (const _MsgAttachment *attachment : message->attachments) {
            if (form->failed)
                break;
            if (attachment && extract(*message, *attachment))
                ++copied;
        }
    }
    if (form->failed) {
        // The folder is this run's own: nothing else is in it.
        removeFolderRecursively(output);
        return;
    }
    // What was copied stays; the user learns what is missing and why.
    if (failures > 0) {
        ProgressForm::postErrorOccurred(form,
            QStringLiteral("%1 of %2 attachments could not be extracted to %3. %4")
                .arg(failures)
                .arg(failures + copied)
                .arg(output, firstFailure));
        return;
    }
    QString text = tr("IDS_SUC_EXTRACT_%1_MEDIA_FILES_TO_%2").arg(copied).arg(output);
    if (missing == 1)
        text += QStringLiteral(" 1 attachment could not be found: %1.").arg(firstMissing);
    else if (missing > 1)
        text += QStringLiteral(" %1 attachments could not be found, the first: %2.")
                    .arg(missing)
                    .arg(firstMissing);
    ProgressForm::postSucceed(form, text);
}

bool AttachmentExtractThread::makeOutputFolder()
{
    const QString wanted = targetFolder.absolutePath();
    if (!QDir().mkpath(QFileInfo(wanted).absolutePath()))
        return false;
    // mkdir fails on anything that exists, so the folder found is new and this run's alone.
    for (;;) {
        const QString candidate = uniqueFilePath(wanted);
        if (QDir().mkdir(candidate)) {
            output = candidate;
            return true;
        }
        if (!QFileInfo::exists(candidate))
            return false;
    }
}

bool AttachmentExtractThread::extract(const _MsgMessage &message, const _MsgAttachment &attachment)
{
    if (attachment.localPath.isEmpty())
        return false;
    const QString source = QDir::cleanPath(QFileInfo(attachment.localPath).absoluteFilePath());
    if (extracted.contains(source))
        return false;
    extracted.insert(source);
    if (!QFileInfo(source).isFile()) {
        if (++missing == 1)
            firstMissing = source;
        return false;
    }
    const QString target = uniqueFilePath(QDir(output).filePath(targetName(attachment)));
    // The copy is written beside the target and takes its name only when complete.
    QFile file(source);
    if (!file.copy(target)) {
        if (++failures == 1)
            firstFailure = QStringLiteral("Cannot copy %1 to %2: %3")
                               .arg(source, target, file.errorString());
        return false;
    }
    setFileTimes(target, message.date);
    return true;
}
