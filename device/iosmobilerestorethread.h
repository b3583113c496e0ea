// The worker that restores the device's backup below a backup root to the device with the
// backup tool, turning the tool's known refusals into advice.
#pragma once

#include <QDir>
#include <QThread>

class IOSDevice;
class ProgressForm;
class backup2tool;

class IOSMobileRestoreThread : public QThread
{
    Q_OBJECT
public:
    IOSMobileRestoreThread(
        IOSDevice *device, const QDir &backupRoot, ProgressForm *form, QObject *parent = nullptr);
    ~IOSMobileRestoreThread() override;

    void run() override;

    // The message shown for the tool's error text.
    static QString errorMessage(const char *what);

public slots:
    void backupUpdate(double pg, QString status1, QString status2);

private:
    IOSDevice *device;
    QDir m_backupRoot;
    ProgressForm *form;
    backup2tool *tool;
};
