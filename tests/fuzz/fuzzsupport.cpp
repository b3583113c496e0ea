#include "fuzzsupport.h"

#ifdef QM_DEVICE_LIBRARY_DIR
#include "support/devicelibraries.h"
#endif

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdlib>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace fuzz {

namespace {

// The readers log every refusal, which only slows the fuzzer down.
void quiet(QtMsgType, const QMessageLogContext &, const QString &) { }

} // namespace

QString scratchFolder()
{
    static const QTemporaryDir folder(QDir::temp().filePath(QStringLiteral("qm_fuzz_XXXXXX")));
    return folder.path();
}

QString writeScratchFile(const QString &name, const uint8_t *data, size_t size)
{
    const QString path = QDir(scratchFolder()).filePath(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    return path;
}

void attempt(const std::function<void()> &operation)
{
    try {
        operation();
    } catch (const std::runtime_error &) {
    }
}

DeviceEnd::DeviceEnd(const QByteArray &bytes)
    : m_bytes(bytes)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return;
    m_programSocket = ends[0];
    m_deviceSocket = ends[1];
    // What fits is in the socket before the program starts: a reply that waits for the
    // device's thread to be scheduled costs more than the rest of the run.
    const int room = 1 << 20;
    ::setsockopt(m_deviceSocket, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    send();
    m_thread = std::thread([this] { play(); });
}

DeviceEnd::~DeviceEnd()
{
    if (m_programSocket >= 0)
        ::close(m_programSocket);
    if (m_thread.joinable())
        m_thread.join();
    if (m_deviceSocket >= 0)
        ::close(m_deviceSocket);
}

bool DeviceEnd::send()
{
    while (m_sent < m_bytes.size()) {
        const ssize_t n = ::send(m_deviceSocket, m_bytes.constData() + m_sent,
            size_t(m_bytes.size() - m_sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return true;
        if (n <= 0)
            return false;
        m_sent += int(n);
    }
    if (!m_shutDown) {
        ::shutdown(m_deviceSocket, SHUT_WR);
        m_shutDown = true;
    }
    return true;
}

void DeviceEnd::play()
{
    char dropped[65536];
    for (;;) {
        const bool sending = m_sent < m_bytes.size();
        pollfd entry { m_deviceSocket, short(POLLIN | (sending ? POLLOUT : 0)), 0 };
        if (::poll(&entry, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (entry.revents & POLLIN) {
            const ssize_t n = ::recv(m_deviceSocket, dropped, sizeof dropped, 0);
            if (n == 0 || (n < 0 && errno != EINTR))
                return;
        } else if (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            return;
        }
        if (sending && (entry.revents & POLLOUT) && !send())
            return;
    }
}

} // namespace fuzz

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(fuzz::quiet);
#ifdef QM_DEVICE_LIBRARY_DIR
    if (!devicetest::loadLibrariesOnly(fuzz::scratchFolder()))
        abort();
#endif
    return 0;
}
