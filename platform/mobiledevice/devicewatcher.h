// Device arrival and removal: the subscriptions, and the library thread that watches the
// devices folder and delivers every notification, in order, to every subscriber.
#pragma once

#include "amdevice.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class SimulatedDevice;

class DeviceWatcher
{
public:
    static DeviceWatcher &instance();

    // Returns the subscription's handle. Devices already present arrive for it at once.
    void *subscribe(AMDeviceNotificationCallback callback, void *user);
    // Attaches a device folder from anywhere; returns once its arrival is delivered.
    SimulatedDevice *attach(const std::string &folder);
    // False when the device is not attached.
    bool detach(SimulatedDevice *device);

private:
    struct Subscription
    {
        AMDeviceNotificationCallback callback;
        void *user;
    };
    struct Event
    {
        SimulatedDevice *device;
        unsigned int message;
        Subscription *only;
        uint64_t id;
    };

    DeviceWatcher() = default;
    void run();
    void scan();
    void deliver(const Event &event);
    // Queues a notification; with `wait`, returns once it was delivered.
    void post(std::unique_lock<std::mutex> &lock, SimulatedDevice *device, unsigned int message,
        Subscription *only, bool wait);
    SimulatedDevice *attachedAt(const std::string &folder) const;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_delivered;
    std::deque<Event> m_events;
    std::vector<Subscription *> m_subscriptions;
    std::vector<SimulatedDevice *> m_attached;
    std::thread::id m_threadId;
    bool m_running = false;
    uint64_t m_nextEvent = 1;
    uint64_t m_lastDelivered = 0;
};
