#include "servicesocket.h"

#include "shell/runtimeerror.h"

#include <QElapsedTimer>
#include <QtEndian>

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A wait that looks up meanwhile does so this often.
constexpr int waitSliceMs = 200;
// The body grows as it arrives, so a peer that announces much and sends little costs little.
constexpr int receiveChunk = 1024 * 1024;
constexpr int quotedCharacters = 800;

QString quoted(const CFType &message)
{
    return messageXml(message).left(quotedCharacters);
}

QString receiveError(const char *part, int received, const CFType &request)
{
    QString text = QStringLiteral("mobiledevice_recmsg(%1) error, received length: %2.")
                       .arg(QLatin1String(part))
                       .arg(received);
    if (!request.isNull())
        text += QLatin1Char('\n') + quoted(request);
    return text;
}

// mobiledevice_wait_socket in slices, with `whileWaiting` between them.
int waitSliced(
    int socket, int timeoutMs, bool forReading, const std::function<void()> &whileWaiting)
{
    if (!whileWaiting)
        return mobiledevice_wait_socket(socket, timeoutMs, forReading);
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const qint64 left = timeoutMs < 1 ? waitSliceMs : timeoutMs - waited.elapsed();
        if (left <= 0)
            return 0;
        const int ready = mobiledevice_wait_socket(
            socket, static_cast<int>(qMin<qint64>(left, waitSliceMs)), forReading);
        if (ready != 0)
            return ready;
        whileWaiting();
    }
}

// Moves every byte one way unless the peer goes, an error occurs or a wait times out.
template <typename Transfer>
int transferAll(int socket, int length, int timeoutMs, bool forReading, Transfer transfer,
    const std::function<void()> &whileWaiting = {})
{
    int total = 0;
    while (total < length) {
        if (waitSliced(socket, timeoutMs, forReading, whileWaiting) <= 0)
            break;
        const ssize_t moved = transfer(total);
        if (moved < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (moved <= 0)
            break;
        total += static_cast<int>(moved);
    }
    return total;
}

int receive(
    int socket, char *buffer, int length, int timeoutMs, const std::function<void()> &whileWaiting)
{
    if (length <= 0 || !buffer)
        return 0;
    return transferAll(
        socket, length, timeoutMs, true,
        [&](int done) {
            return ::recv(socket, buffer + done, static_cast<size_t>(length - done), 0);
        },
        whileWaiting);
}

} // namespace

int mobiledevice_wait_socket(int socket, int timeoutMs, bool forReading)
{
    if (socket < 0)
        return -1;
    // poll, unlike select, takes sockets of any number.
    pollfd entry { socket, static_cast<short>(forReading ? POLLIN : POLLOUT), 0 };
    for (;;) {
        const int result = ::poll(&entry, 1, timeoutMs < 1 ? -1 : timeoutMs);
        if (result < 0 && errno == EINTR)
            continue;
        if (result > 0 && (entry.revents & POLLNVAL))
            return -1;
        return result;
    }
}

int mobiledevice_send(int socket, const char *bytes, int length, int timeoutMs)
{
    if (length <= 0 || !bytes)
        return 0;
    return transferAll(socket, length, timeoutMs, false, [&](int done) {
        // No SIGPIPE: a peer that went away is an error here, not the end of the program.
        return ::send(socket, bytes + done, static_cast<size_t>(length - done), MSG_NOSIGNAL);
    });
}

int mobiledevice_recv(int socket, char *buffer, int length, int timeoutMs)
{
    return receive(socket, buffer, length, timeoutMs, {});
}

QString messageXml(const CFType &message)
{
    return QString::fromUtf8(CFType::toPlistBytes(message, CFType::XmlFormat));
}

int mobiledevice_close_socket(int socket)
{
    return ::close(socket);
}

void mobiledevice_sendmsg(int socket, const CFType &message, bool binary, int timeoutMs)
{
    const QByteArray body
        = CFType::toPlistBytes(message, binary ? CFType::BinaryFormat : CFType::XmlFormat);
    if (body.isEmpty())
        return;
    const quint32 length = qToBigEndian(static_cast<quint32>(body.size()));
    if (mobiledevice_send(socket, reinterpret_cast<const char *>(&length), 4, timeoutMs) != 4)
        throwRuntimeError(
            QStringLiteral("mobiledevice_sendmsg(msg-length) error.\n%1").arg(quoted(message)));
    if (mobiledevice_send(socket, body.constData(), body.size(), timeoutMs) != body.size())
        throwRuntimeError(
            QStringLiteral("mobiledevice_sendmsg(msg) error.\n%1").arg(quoted(message)));
}

CFType mobiledevice_recmsg(
    int socket, const CFType &request, int timeoutMs, const std::function<void()> &whileWaiting)
{
    char header[4];
    const int headerBytes = receive(socket, header, 4, timeoutMs, whileWaiting);
    if (headerBytes != 4)
        throwRuntimeError(receiveError("msg-length", headerBytes, request));
    const quint32 length = qFromBigEndian<quint32>(header);
    if (length > static_cast<quint32>(mobiledevice_max_message_length)) {
        QString text = QStringLiteral("mobiledevice_recmsg(msg) error, message length %1 is above "
                                      "the limit of %2 bytes.")
                           .arg(length)
                           .arg(mobiledevice_max_message_length);
        if (!request.isNull())
            text += QLatin1Char('\n') + quoted(request);
        throwRuntimeError(text);
    }
    QByteArray body;
    const int wanted = static_cast<int>(length);
    while (body.size() < wanted) {
        const int before = body.size();
        const int piece = qMin(receiveChunk, wanted - before);
        body.resize(before + piece);
        const int received = receive(socket, body.data() + before, piece, timeoutMs, whileWaiting);
        body.resize(before + received);
        if (received != piece)
            throwRuntimeError(receiveError("msg", body.size(), request));
    }
    return CFType::fromPlistBytes(body);
}
