#include "servicepeer.h"

#include <QtEndian>

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

ServicePeer::ServicePeer()
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0) {
        m_programSocket = ends[0];
        m_peerSocket = ends[1];
    }
}

ServicePeer::~ServicePeer()
{
    join();
    closePeer();
    if (m_programSocket >= 0)
        ::close(m_programSocket);
}

void ServicePeer::run(std::function<void(ServicePeer &)> script)
{
    join();
    m_thread = std::thread([this, script] { script(*this); });
}

void ServicePeer::join()
{
    if (m_thread.joinable())
        m_thread.join();
}

void ServicePeer::closePeer()
{
    if (m_peerSocket >= 0) {
        ::close(m_peerSocket);
        m_peerSocket = -1;
    }
}

QByteArray ServicePeer::frame(const QByteArray &body)
{
    const quint32 length = qToBigEndian(static_cast<quint32>(body.size()));
    return QByteArray(reinterpret_cast<const char *>(&length), 4) + body;
}

bool ServicePeer::sendRaw(const QByteArray &bytes, int chunk, int pauseMs)
{
    const int step = chunk > 0 ? chunk : bytes.size();
    for (int offset = 0; offset < bytes.size(); offset += step) {
        if (offset > 0 && pauseMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        const int length = qMin(step, bytes.size() - offset);
        int sent = 0;
        while (sent < length) {
            const ssize_t n = ::send(m_peerSocket, bytes.constData() + offset + sent,
                static_cast<size_t>(length - sent), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            sent += static_cast<int>(n);
        }
    }
    return true;
}

bool ServicePeer::sendFrame(const QByteArray &body, int chunk, int pauseMs)
{
    return sendRaw(frame(body), chunk, pauseMs);
}

bool ServicePeer::receiveAll(char *buffer, int length, int timeoutMs)
{
    int total = 0;
    while (total < length) {
        pollfd entry { m_peerSocket, POLLIN, 0 };
        const int ready = ::poll(&entry, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t n
            = ::recv(m_peerSocket, buffer + total, static_cast<size_t>(length - total), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        total += static_cast<int>(n);
    }
    return true;
}

QByteArray ServicePeer::receiveFrame(int timeoutMs)
{
    char header[4];
    if (!receiveAll(header, 4, timeoutMs))
        return QByteArray();
    const quint32 length = qFromBigEndian<quint32>(header);
    if (length > 256u * 1024 * 1024)
        return QByteArray();
    QByteArray body(static_cast<int>(length), '\0');
    if (length > 0 && !receiveAll(body.data(), static_cast<int>(length), timeoutMs))
        return QByteArray();
    return length == 0 ? QByteArray("") : body;
}

QByteArray ServicePeer::receiveRaw(int length, int timeoutMs)
{
    QByteArray bytes(length, '\0');
    return receiveAll(bytes.data(), length, timeoutMs) ? bytes : QByteArray();
}
