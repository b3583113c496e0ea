#include "serviceconnection.h"

#include "simulateddevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

ServiceConnection::ServiceConnection(
    SimulatedDevice &device, const std::string &service, int socket)
    : m_device(device)
    , m_service(service)
    , m_socket(socket)
{
    m_device.addServiceSocket(m_socket);
    // Removed before this thread began: the peer must not wait for a service that is gone.
    if (!m_device.attached())
        ::shutdown(m_socket, SHUT_RDWR);
}

ServiceConnection::~ServiceConnection()
{
    m_device.removeServiceSocket(m_socket);
    ::close(m_socket);
}

int ServiceConnection::wait(short events, int timeoutMs)
{
    pollfd entry { m_socket, events, 0 };
    for (;;) {
        const int result = ::poll(&entry, 1, timeoutMs < 1 ? -1 : timeoutMs);
        if (result < 0 && errno == EINTR)
            continue;
        return result;
    }
}

bool ServiceConnection::sendAll(const void *bytes, size_t length, int timeoutMs)
{
    const auto *next = static_cast<const char *>(bytes);
    while (length > 0) {
        if (wait(POLLOUT, timeoutMs) <= 0)
            return false;
        const ssize_t sent = ::send(m_socket, next, length, MSG_NOSIGNAL);
        if (sent < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (sent <= 0)
            return false;
        next += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

bool ServiceConnection::receiveAll(void *bytes, size_t length, int timeoutMs)
{
    auto *next = static_cast<char *>(bytes);
    while (length > 0) {
        if (wait(POLLIN, timeoutMs) <= 0)
            return false;
        const ssize_t received = ::recv(m_socket, next, length, 0);
        if (received < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (received <= 0)
            return false;
        next += received;
        length -= static_cast<size_t>(received);
    }
    return true;
}

std::string ServiceConnection::frame(const std::string &body)
{
    const auto length = static_cast<uint32_t>(body.size());
    std::string framed;
    for (int shift = 24; shift >= 0; shift -= 8)
        framed.push_back(static_cast<char>((length >> shift) & 0xff));
    return framed + body;
}

bool ServiceConnection::sendFrame(const std::string &body, int timeoutMs)
{
    const std::string framed = frame(body);
    return sendAll(framed.data(), framed.size(), timeoutMs);
}

bool ServiceConnection::sendMessage(const PlistNode &message, bool binary, int timeoutMs)
{
    const std::string body = message.serialise(binary);
    return !body.empty() && body.size() <= maxMessageLength && sendFrame(body, timeoutMs);
}

bool ServiceConnection::receiveFrame(std::string *body, bool *closed, int timeoutMs)
{
    *closed = false;
    unsigned char header[4];
    if (wait(POLLIN, timeoutMs) <= 0)
        return false;
    char probe = 0;
    ssize_t peeked;
    do
        peeked = ::recv(m_socket, &probe, 1, MSG_PEEK);
    while (peeked < 0 && errno == EINTR);
    if (peeked == 0) {
        *closed = true;
        return false;
    }
    if (!receiveAll(header, sizeof header, timeoutMs))
        return false;
    const size_t length = (size_t(header[0]) << 24) | (size_t(header[1]) << 16)
        | (size_t(header[2]) << 8) | size_t(header[3]);
    if (length > maxMessageLength) {
        log("refused a message of " + std::to_string(length) + " bytes");
        return false;
    }
    body->assign(length, '\0');
    return length == 0 || receiveAll(&(*body)[0], length, timeoutMs);
}

PlistNode ServiceConnection::receiveMessage(bool *closed, int timeoutMs)
{
    std::string body;
    if (!receiveFrame(&body, closed, timeoutMs))
        return PlistNode();
    return PlistNode::fromBytes(body.data(), body.size());
}

bool ServiceConnection::holdOpen(int milliseconds)
{
    using namespace std::chrono;
    const auto end = steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        long long slice = 200;
        if (milliseconds >= 1) {
            const long long left
                = duration_cast<std::chrono::milliseconds>(end - steady_clock::now()).count();
            if (left <= 0)
                return true;
            slice = std::min(left, slice);
        }
        pollfd entry { m_socket, POLLIN, 0 };
        if (::poll(&entry, 1, static_cast<int>(slice)) < 0 && errno != EINTR)
            return false;
        if (!m_device.attached() || (entry.revents & (POLLHUP | POLLERR | POLLNVAL)))
            return false;
        // Whatever the peer sends meanwhile is dropped; nothing means it closed.
        if (entry.revents & POLLIN) {
            char byte;
            if (::recv(m_socket, &byte, 1, MSG_DONTWAIT) == 0)
                return false;
        }
    }
}

void ServiceConnection::log(const std::string &line)
{
    m_device.log(m_service + ": " + line);
}
