// One connection to the device's file service, either its media area ("com.apple.afc") or
// an application's container through "com.apple.mobile.house_arrest". Only `connect`
// throws; every other operation reports failure as its result.
#pragma once

#include "afcfileinfo.h"

#include "platform/mobiledevice/amdevice.h"

#include <QList>
#include <QSharedPointer>
#include <QString>

class AFCFile;

class AFCClient
{
public:
    explicit AFCClient(AMDeviceRef device);
    ~AFCClient();
    AFCClient(const AFCClient &) = delete;
    AFCClient &operator=(const AFCClient &) = delete;

    // An empty identifier opens the media area; otherwise the application's container.
    // Throws the session, service and "can not find %1." texts.
    void connect(const QString &applicationIdentifier = QString());
    // Files opened through this client fail from here on.
    void close();
    bool isConnected() const { return socket() >= 0; }
    int socket() const { return *m_socket; }

    bool makeDirectory(const QString &path);
    bool removePath(const QString &path);
    bool renamePath(const QString &from, const QString &to);
    // A file still open in `file` is closed first.
    bool openFile(const QString &path, quint64 mode, AFCFile &file);
    bool openFileForReading(const QString &path, AFCFile &file);
    bool openFileForWriting(const QString &path, AFCFile &file);
    // An empty record on failure.
    AFCFileInfo fileInfo(const QString &path);
    // The files and folders in `path`, in the device's order; empty on failure.
    QList<AFCFileInfo> entryInfoList(const QString &path);

private:
    AMDeviceRef m_device;
    // Shared with the files opened here, which must not use a socket closed since.
    QSharedPointer<int> m_socket;
};
