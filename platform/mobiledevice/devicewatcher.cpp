#include "devicewatcher.h"

#include "devicesfolder.h"
#include "simulateddevice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <chrono>

namespace {

constexpr auto scanInterval = std::chrono::milliseconds(150);

std::string cleanAbsolute(const std::string &folder)
{
    const QString path = QFile::decodeName(QByteArray::fromStdString(folder));
    return QFile::encodeName(QDir::cleanPath(QDir(path).absolutePath())).toStdString();
}

bool hasValuesFile(const std::string &folder)
{
    return QFileInfo(QFile::decodeName(
                         QByteArray::fromStdString(folder + "/" + SimulatedDevice::valuesFileName)))
        .isFile();
}

} // namespace

DeviceWatcher &DeviceWatcher::instance()
{
    // Never destroyed: the thread runs until the process ends.
    static DeviceWatcher *watcher = new DeviceWatcher;
    return *watcher;
}

void *DeviceWatcher::subscribe(AMDeviceNotificationCallback callback, void *user)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto *subscription = new Subscription { callback, user };
    m_subscriptions.push_back(subscription);
    if (!m_running) {
        m_running = true;
        std::thread(&DeviceWatcher::run, this).detach();
    }
    for (SimulatedDevice *device : m_attached)
        post(lock, device, kAMDeviceArrived, subscription, false);
    return subscription;
}

SimulatedDevice *DeviceWatcher::attachedAt(const std::string &folder) const
{
    for (SimulatedDevice *device : m_attached) {
        if (device->folder() == folder)
            return device;
    }
    return nullptr;
}

SimulatedDevice *DeviceWatcher::attach(const std::string &folder)
{
    const std::string path = cleanAbsolute(folder);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (SimulatedDevice *present = attachedAt(path))
        return present;
    SimulatedDevice *device = SimulatedDevice::open(path, false);
    if (!device)
        return nullptr;
    m_attached.push_back(device);
    post(lock, device, kAMDeviceArrived, nullptr, true);
    return device;
}

bool DeviceWatcher::detach(SimulatedDevice *device)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto it = std::find(m_attached.begin(), m_attached.end(), device);
    if (it == m_attached.end())
        return false;
    m_attached.erase(it);
    device->detach();
    post(lock, device, kAMDeviceRemoved, nullptr, true);
    return true;
}

void DeviceWatcher::post(std::unique_lock<std::mutex> &lock, SimulatedDevice *device,
    unsigned int message, Subscription *only, bool wait)
{
    if (!m_running)
        return;
    const uint64_t id = m_nextEvent++;
    m_events.push_back(Event { device, message, only, id });
    m_wake.notify_all();
    // The watcher thread itself cannot wait for its own delivery.
    if (wait && std::this_thread::get_id() != m_threadId)
        m_delivered.wait(lock, [&] { return m_lastDelivered >= id; });
}

void DeviceWatcher::deliver(const Event &event)
{
    std::vector<Subscription *> targets;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (event.only)
            targets.push_back(event.only);
        else
            targets = m_subscriptions;
    }
    SimulatedDevice *device = event.device;
    device->log("AMDeviceNotification(" + device->udid() + ") = " + std::to_string(event.message)
        + (event.message == kAMDeviceArrived ? " arrived" : " removed") + ": \"" + device->name()
        + "\" at " + device->folder());
    for (Subscription *subscription : targets) {
        AMDeviceNotificationInfo info { device->handle(), event.message, subscription };
        subscription->callback(&info, subscription->user);
    }
}

void DeviceWatcher::scan()
{
    const QDir folder(QFile::decodeName(QByteArray::fromStdString(DevicesFolder::path())));
    std::vector<std::string> present;
    if (folder.exists()) {
        for (const QString &name :
            folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
            const std::string path
                = cleanAbsolute(QFile::encodeName(folder.filePath(name)).toStdString());
            if (hasValuesFile(path))
                present.push_back(path);
        }
    }

    std::unique_lock<std::mutex> lock(m_mutex);
    const std::vector<SimulatedDevice *> attached = m_attached;
    for (SimulatedDevice *device : attached) {
        if (device->watched()
            && std::find(present.begin(), present.end(), device->folder()) == present.end()) {
            m_attached.erase(std::find(m_attached.begin(), m_attached.end(), device));
            device->detach();
            post(lock, device, kAMDeviceRemoved, nullptr, false);
        }
    }
    for (const std::string &path : present) {
        if (attachedAt(path))
            continue;
        // A values file still being written is tried again at the next scan.
        if (SimulatedDevice *device = SimulatedDevice::open(path, true)) {
            m_attached.push_back(device);
            post(lock, device, kAMDeviceArrived, nullptr, false);
        }
    }
}

void DeviceWatcher::run()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_threadId = std::this_thread::get_id();
    }
    for (;;) {
        scan();
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait_for(lock, scanInterval, [this] { return !m_events.empty(); });
        while (!m_events.empty()) {
            const Event event = m_events.front();
            m_events.pop_front();
            lock.unlock();
            deliver(event);
            lock.lock();
            m_lastDelivered = event.id;
            m_delivered.notify_all();
        }
    }
}
