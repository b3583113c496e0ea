// The device's end of one service socket, as a service sees it: whole sends and receives
// with time-outs, and framed property-list messages (a 4-byte big-endian length, then
// the list). Closes the socket when it goes.
#pragma once

#include "plistnode.h"

#include <cstddef>
#include <string>

class SimulatedDevice;

class ServiceConnection
{
public:
    // Messages above this are refused, whoever sends them.
    static constexpr size_t maxMessageLength = 64 * 1024 * 1024;
    static constexpr int defaultTimeoutMs = 60000;

    ServiceConnection(SimulatedDevice &device, const std::string &service, int socket);
    ~ServiceConnection();
    ServiceConnection(const ServiceConnection &) = delete;
    ServiceConnection &operator=(const ServiceConnection &) = delete;

    SimulatedDevice &device() { return m_device; }
    const std::string &service() const { return m_service; }
    int socket() const { return m_socket; }

    // False when the peer is gone, an error occurs or a wait passes `timeoutMs`
    // (below 1: no limit).
    bool sendAll(const void *bytes, size_t length, int timeoutMs = defaultTimeoutMs);
    bool receiveAll(void *bytes, size_t length, int timeoutMs = defaultTimeoutMs);

    // A body behind its 4-byte big-endian length, as every framed message goes out.
    static std::string frame(const std::string &body);
    bool sendFrame(const std::string &body, int timeoutMs = defaultTimeoutMs);
    bool sendMessage(const PlistNode &message, bool binary, int timeoutMs = defaultTimeoutMs);
    // The body of the next framed message; false on a short read or a length above the
    // bound. `closed` tells a peer that went away cleanly before a new message.
    bool receiveFrame(std::string *body, bool *closed, int timeoutMs = defaultTimeoutMs);
    // The next message as a tree; null when it is no property list or nothing came.
    PlistNode receiveMessage(bool *closed, int timeoutMs = defaultTimeoutMs);

    // Keeps the connection without sending for `milliseconds` (below 1: until the end);
    // false as soon as the peer or the device is gone.
    bool holdOpen(int milliseconds);

    // Logs a line of this service in the device's call log.
    void log(const std::string &line);

private:
    // > 0 ready, 0 timed out, < 0 error.
    int wait(short events, int timeoutMs);

    SimulatedDevice &m_device;
    const std::string m_service;
    const int m_socket;
};
