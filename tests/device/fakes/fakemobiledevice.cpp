// A stand-in for the mobile-device library: it remembers the subscription and lets a
// test deliver notifications from a thread of its own, as the real library does.
#include <cstdint>
#include <thread>

namespace {

using Callback = void (*)(void *info, void *target);

struct Record
{
    void *device;
    std::uint32_t message;
};

struct Subscription
{
    Callback callback = nullptr;
    unsigned int unused1 = 0;
    unsigned int unused2 = 0;
    void *target = nullptr;
    void **handleOut = nullptr;
    int count = 0;
};

Subscription g_subscription;
int g_handle;

} // namespace

extern "C" {

__attribute__((visibility("default"))) int AMDeviceNotificationSubscribe(
    Callback callback, unsigned int unused1, unsigned int unused2, void *target, void **handleOut)
{
    g_subscription.callback = callback;
    g_subscription.unused1 = unused1;
    g_subscription.unused2 = unused2;
    g_subscription.target = target;
    g_subscription.handleOut = handleOut;
    ++g_subscription.count;
    if (handleOut)
        *handleOut = &g_handle;
    return 0;
}

// Test helpers, not part of the real library.
__attribute__((visibility("default"))) int fake_md_subscription(
    void **callback, unsigned int *unused1, unsigned int *unused2, void **target, int *hadHandleOut)
{
    *callback = reinterpret_cast<void *>(g_subscription.callback);
    *unused1 = g_subscription.unused1;
    *unused2 = g_subscription.unused2;
    *target = g_subscription.target;
    *hadHandleOut = g_subscription.handleOut != nullptr;
    return g_subscription.count;
}

// Delivers one notification from a new thread and waits for the callback to return.
__attribute__((visibility("default"))) int fake_md_fire(void *device, std::uint32_t message)
{
    if (!g_subscription.callback)
        return 0;
    const Subscription subscription = g_subscription;
    std::thread library([=] {
        Record record { device, message };
        subscription.callback(&record, subscription.target);
    });
    library.join();
    return 1;
}
}
