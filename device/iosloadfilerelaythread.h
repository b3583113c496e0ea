// The worker that copies a device's message and contact databases through its file-relay
// service into "file-relay" of the device's cache folder, under the progress dialog.
#pragma once

#include <QDir>
#include <QThread>

class IOSDevice;
class ProgressForm;

class IOSLoadFileRelayThread : public QThread
{
    Q_OBJECT
public:
    IOSLoadFileRelayThread(IOSDevice *device, ProgressForm *form, QObject *parent = nullptr);
    ~IOSLoadFileRelayThread() override;

    // How long the device may fall silent in the middle of the archive before the load
    // fails; 60 seconds unless a test shortens it.
    void setStallTimeout(int milliseconds) { m_stallTimeoutMs = milliseconds; }

    void run() override;

private:
    void receiveArchive(const QString &archivePath);
    void checkCancelled() const;
    void release();

    IOSDevice *device;
    ProgressForm *form;
    int m_socket = -1;
    int m_stallTimeoutMs = 60000;
};
