#include "iosmobilerestorethread.h"

#include "backup2tool.h"
#include "devicesession.h"
#include "iosdevice.h"

#include "shell/progressform.h"

#include <QRegularExpression>

#include <stdexcept>

IOSMobileRestoreThread::IOSMobileRestoreThread(
    IOSDevice *device, const QDir &backupRoot, ProgressForm *form, QObject *parent)
    : QThread(parent)
    , device(device)
    , m_backupRoot(backupRoot)
    , form(form)
    , tool(new backup2tool(device->handle, device->udid, backupRoot))
{
}

IOSMobileRestoreThread::~IOSMobileRestoreThread()
{
    tool->deleteLater();
}

void IOSMobileRestoreThread::backupUpdate(double pg, QString, QString)
{
    ProgressForm::postUpdateProgress(form, QString(), static_cast<int>(pg), QString());
}

QString IOSMobileRestoreThread::errorMessage(const char *what)
{
    const QString text = backup2tool::escapedError(what);
    if (text.contains(QLatin1String("Find My iPhone must be disabled"), Qt::CaseInsensitive))
        return QStringLiteral("Please turn off \"Find my iPhone\" on your iPhone (Settings -&gt; "
                              "iCloud -&gt; Find my iPhone), then restart your iPhone and try "
                              "again.<br/><br/>");
    static const QRegularExpression space(
        QStringLiteral(
            "Insufficient free disk space on device to restore \\((\\d+) [^\\d]+ (\\d+)\\)"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = space.match(text);
    if (match.hasMatch()) {
        const double gigabytes = match.captured(2).toDouble() / double(1LL << 30);
        return QStringLiteral("%1 GB free disk space on your device is required restore data.  "
                              "Please remove some camera roll videos from your device to computer "
                              "to free up disk space first and then try again.")
            .arg(QString::number(gigabytes, 'g', 1));
    }
    return text + QStringLiteral("<br/><br/>Note: You can restart your device to try again.");
}

void IOSMobileRestoreThread::run()
{
    ProgressForm::postUpdateProgress(form, tr("IDS_RESTORING_BACKUP_TO_IOS"), 0, QString());
    connect(tool, &backup2tool::update, this, &IOSMobileRestoreThread::backupUpdate);
    connect(form, &ProgressForm::userCacel, tool, &backup2tool::cancel);
    try {
        if (!form->failed)
            tool->run(backup2tool_op(backup2tool_op::Restore));
        if (form->failed || tool->cancelled())
            return;
        ProgressForm::postSucceed(form, QString());
    } catch (const std::exception &e) {
        const bool gone = mobiledevice_device_gone(device->handle);
        ProgressForm::postErrorOccurred(
            form, gone ? mobiledevice_disconnected_text() : errorMessage(e.what()));
    }
}
