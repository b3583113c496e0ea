// The worker that backs a device up with the backup tool into the temporary backup folder,
// keeping a finished earlier backup of the same iOS version for the tool to bring up to date.
#pragma once

#include <QDir>
#include <QThread>

class IOSDevice;
class ProgressForm;
class backup2tool;

class IOSMobileBackupThread : public QThread
{
    Q_OBJECT
public:
    IOSMobileBackupThread(IOSDevice *device, ProgressForm *form, QObject *parent = nullptr);
    ~IOSMobileBackupThread() override;

    // The backup root, chosen when the worker runs: read it once the worker has finished. The
    // device's backup is its folder named by the udid.
    QDir backupDir() const { return m_backupRoot; }

    void run() override;

    // True when the folder holds a finished backup made under this iOS version.
    static bool isFinishedBackup(const QDir &folder, const QString &productVersion);

public slots:
    void backupUpdate(double pg, QString status1, QString status2);

private:
    IOSDevice *device;
    ProgressForm *form;
    QDir m_backupRoot;
    backup2tool *tool = nullptr;
};
