// Simulated phones attached for one test at a time through our mobile-device library, and
// the service sockets opened on them: all are let go by `release`. Header-only, like the
// library helpers it uses, so that only device tests compile it.
#pragma once

#include "devicelibraries.h"
#include "platform/samplephones/simulateddevicefolder.h"

#include "device/servicesocket.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>

class AttachedDevices
{
public:
    // Device folders go under `root`; the watched devices folder is set to an empty one.
    explicit AttachedDevices(const QString &root)
        : m_root(root)
    {
        qputenv("QUILLMARROW_DEVICES", QFile::encodeName(QDir(root).filePath("watched")));
    }
    ~AttachedDevices() { release(); }

    // A phone "udid-<name>" named `name` on iOS 9.3.5, changed by `setUp` before it arrives.
    AMDeviceRef attach(
        const QString &name, const std::function<void(SimulatedDeviceFolder &)> &setUp = {})
    {
        m_folder.reset(new SimulatedDeviceFolder(QDir(m_root).filePath(name)));
        m_folder->setIdentity("udid-" + name, name, "9.3.5");
        if (setUp)
            setUp(*m_folder);
        if (!m_folder->write())
            return nullptr;
        const AMDeviceRef device = devicetest::attach(m_folder->path());
        m_attached << device;
        return device;
    }

    // The folder of the last phone attached.
    SimulatedDeviceFolder &folder() { return *m_folder; }
    // Closed on `release`.
    void keepSocket(int socket) { m_sockets << socket; }

    void release()
    {
        for (int socket : m_sockets) {
            if (socket >= 0)
                mobiledevice_close_socket(socket);
        }
        m_sockets.clear();
        for (AMDeviceRef device : m_attached)
            devicetest::detach(device);
        m_attached.clear();
    }

private:
    QString m_root;
    QList<AMDeviceRef> m_attached;
    QList<int> m_sockets;
    std::unique_ptr<SimulatedDeviceFolder> m_folder;
};
