#include "operations/backupsmsthread.h"

#include "operations/messageprogress.h"
#include "records/msgidentity.h"
#include "shell/progressform.h"

#include <stdexcept>

BackupSMSThread::BackupSMSThread(const MsgMessageList &messages, const QDir &folder,
    const QString &countryCode, ProgressForm *form, QObject *parent)
    : QThread(parent)
    , list(messages)
    , form(form)
    , writer(folder, countryCode)
{
    sortMessages(list);
}

void BackupSMSThread::run()
{
    const QString status = tr("IDS_BACKING_UP_SMS");
    ProgressForm::postUpdateProgress(form, status, 0, QString());
    try {
        writer.begin();
        MessageProgress progress(form, list.size(), status, tr("SMS: %1/%2"));
        for (int i = 1; i <= list.size(); ++i) {
            if (form->failed) {
                writer.rollback();
                return;
            }
            progress.step(i);
            writer.write(list.at(i - 1));
        }
        writer.end();
        ProgressForm::postSucceed(form, tr("IDS_SUC_BACKUP_%1_SMS").arg(writer.written()));
    } catch (const std::exception &e) {
        writer.rollback();
        ProgressForm::postErrorOccurred(form, QString::fromUtf8(e.what()));
    }
}
