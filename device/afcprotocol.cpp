#include "afcprotocol.h"

#include "cftype.h"
#include "servicesocket.h"
#include "shell/runtimeerror.h"

#include <QtEndian>

#include <cstring>

const char AFCPacketHeader::magicBytes[9] = "CFA6LPAA";

namespace {

constexpr int afcTimeoutMs = 60000;

QByteArray le64(quint64 value)
{
    const quint64 wire = qToLittleEndian(value);
    return QByteArray(reinterpret_cast<const char *>(&wire), 8);
}

// The first 8 bytes as a number, the missing ones taken as 0.
quint64 firstWord(const QByteArray &data)
{
    char bytes[8] = {};
    std::memcpy(bytes, data.constData(), static_cast<size_t>(qMin(8, data.size())));
    return qFromLittleEndian<quint64>(bytes);
}

QByteArray pathBytes(const QString &path)
{
    return path.toUtf8() + '\0';
}

// One request whose whole payload travels in the header part, and its reply.
QByteArray request(int socket, quint64 operation, const QByteArray &payload,
    AFCPacketHeader *reply = nullptr, quint32 *status = nullptr)
{
    AFCPacketHeader header(afc_packet_number(socket), operation);
    header.entireLength = header.thisLength
        = static_cast<quint64>(AFCPacketHeader::size + payload.size());
    afc_send_packet(socket, header, payload.constData(), payload.size());
    AFCPacketHeader received;
    const QByteArray data = afc_read_packet(socket, received, status);
    if (reply)
        *reply = received;
    return data;
}

// The bytes of a data reply; a status reply (success) carries none.
QByteArray requestData(int socket, quint64 operation, const QByteArray &payload)
{
    AFCPacketHeader reply;
    const QByteArray data = request(socket, operation, payload, &reply);
    return reply.operation == AFCOpData ? data : QByteArray();
}

// The NUL-terminated texts of a reply, in order; bytes after the last NUL are dropped.
QStringList texts(const QByteArray &data)
{
    QStringList result;
    int start = 0;
    for (int end = data.indexOf('\0'); end >= 0; end = data.indexOf('\0', start)) {
        result << QString::fromUtf8(data.constData() + start, end - start);
        start = end + 1;
    }
    return result;
}

} // namespace

AFCPacketHeader::AFCPacketHeader(quint64 packetNumber, quint64 operation)
    : entireLength(size)
    , thisLength(size)
    , packetNumber(packetNumber)
    , operation(operation)
{
    std::memcpy(magic, magicBytes, sizeof magic);
}

QByteArray AFCPacketHeader::toBytes() const
{
    return QByteArray(magic, sizeof magic) + le64(entireLength) + le64(thisLength)
        + le64(packetNumber) + le64(operation);
}

AFCPacketHeader AFCPacketHeader::fromBytes(const char *bytes)
{
    AFCPacketHeader header;
    std::memcpy(header.magic, bytes, sizeof header.magic);
    header.entireLength = qFromLittleEndian<quint64>(bytes + 8);
    header.thisLength = qFromLittleEndian<quint64>(bytes + 16);
    header.packetNumber = qFromLittleEndian<quint64>(bytes + 24);
    header.operation = qFromLittleEndian<quint64>(bytes + 32);
    return header;
}

bool AFCPacketHeader::hasMagic() const
{
    return std::memcmp(magic, magicBytes, sizeof magic) == 0;
}

quint64 afc_packet_number(int socket)
{
    return static_cast<quint64>(static_cast<qint64>(socket));
}

void afc_send_packet(int socket, const AFCPacketHeader &header, const char *payload, int length)
{
    const QByteArray bytes = header.toBytes();
    if (mobiledevice_send(socket, bytes.constData(), bytes.size(), afcTimeoutMs) != bytes.size())
        throwRuntimeError(QStringLiteral("send AFC header (%1) error.").arg(header.operation));
    if (length > 0 && mobiledevice_send(socket, payload, length, afcTimeoutMs) != length)
        throwRuntimeError(QStringLiteral("send AFC content (%1) error.").arg(header.operation));
}

QByteArray afc_read_packet(int socket, AFCPacketHeader &header, quint32 *status)
{
    char bytes[AFCPacketHeader::size];
    if (mobiledevice_recv(socket, bytes, AFCPacketHeader::size, afcTimeoutMs)
        != AFCPacketHeader::size)
        throwRuntimeError(QStringLiteral("read AFC header failed."));
    header = AFCPacketHeader::fromBytes(bytes);
    if (!header.hasMagic())
        throwRuntimeError(QStringLiteral("read AFC header failed, wrong magic."));
    // A length below the header or past any sensible reply leaves nothing to trust.
    if (header.entireLength < AFCPacketHeader::size
        || header.entireLength - AFCPacketHeader::size > afc_max_reply_data)
        throwRuntimeError(QStringLiteral("read AFC header failed, invalid packet length %1.")
                              .arg(header.entireLength));
    const int length = static_cast<int>(header.entireLength - AFCPacketHeader::size);
    QByteArray data(length, '\0');
    if (length > 0 && mobiledevice_recv(socket, data.data(), length, afcTimeoutMs) != length)
        throwRuntimeError(QStringLiteral("read AFC file block data failed."));

    switch (header.operation) {
    case AFCOpData:
    case AFCOpFileOpenResult:
    case AFCOpFileTellResult:
        return data;
    case AFCOpStatus: {
        if (data.size() < 8)
            throwRuntimeError(
                QStringLiteral("read AFC failed, status reply of %1 bytes.").arg(data.size()));
        const quint64 value = firstWord(data);
        if (status) {
            *status = static_cast<quint32>(value);
            return data;
        }
        if (value != 0)
            throwRuntimeError(
                QStringLiteral("read AFC failed, received AFC_OP_STATUS, param1=%1.").arg(value));
        return data;
    }
    default:
        throwRuntimeError(
            QStringLiteral("read AFC failed, Unknown operation code received %1, param1=%2.")
                .arg(header.operation)
                .arg(firstWord(data)));
    }
}

quint64 afc_file_open(int socket, const QString &path, quint64 mode)
{
    const QByteArray data = request(socket, AFCOpFileOpen, le64(mode) + pathBytes(path));
    return data.size() >= 8 ? firstWord(data) : 0;
}

void afc_file_close(int socket, quint64 handle)
{
    request(socket, AFCOpFileClose, le64(handle));
}

int afc_file_read(int socket, quint64 handle, char *buffer, int length)
{
    int total = 0;
    while (buffer && total < length) {
        const int wanted = qMin(length - total, afc_read_chunk);
        const QByteArray data
            = requestData(socket, AFCOpFileRead, le64(handle) + le64(static_cast<quint64>(wanted)));
        if (data.isEmpty())
            break;
        if (data.size() > wanted)
            throwRuntimeError(
                QStringLiteral("read AFC file returned %1 bytes, more than the %2 requested.")
                    .arg(data.size())
                    .arg(wanted));
        std::memcpy(buffer + total, data.constData(), static_cast<size_t>(data.size()));
        total += data.size();
    }
    return total;
}

int afc_file_write(int socket, quint64 handle, const char *data, int length)
{
    int total = 0;
    const QByteArray handleBytes = le64(handle);
    while (data && total < length) {
        const int chunk = qMin(length - total, afc_write_chunk);
        AFCPacketHeader header(afc_packet_number(socket), AFCOpFileWrite);
        header.thisLength = AFCPacketHeader::size + 8;
        header.entireLength = header.thisLength + static_cast<quint64>(chunk);
        afc_send_packet(socket, header, handleBytes.constData(), handleBytes.size());
        // A chunk sent in part is not written: the connection is out of step from here.
        if (mobiledevice_send(socket, data + total, chunk, afcTimeoutMs) != chunk)
            throwRuntimeError(QStringLiteral("write AFC file error."));
        AFCPacketHeader reply;
        afc_read_packet(socket, reply);
        total += chunk;
    }
    return total;
}

quint32 afc_file_lock(int socket, quint64 handle, quint32 operation)
{
    quint32 status = 0;
    AFCPacketHeader reply;
    request(socket, AFCOpFileLock, le64(handle) + le64(operation), &reply, &status);
    return reply.operation == AFCOpStatus ? status : 0;
}

void afc_remove_path(int socket, const QString &path)
{
    request(socket, AFCOpRemovePath, pathBytes(path));
}

void afc_make_directory(int socket, const QString &path)
{
    request(socket, AFCOpMakeDirectory, pathBytes(path));
}

void afc_rename_path(int socket, const QString &from, const QString &to)
{
    request(socket, AFCOpRenamePath, pathBytes(from) + pathBytes(to));
}

QStringList afc_read_directory(int socket, const QString &path)
{
    return texts(requestData(socket, AFCOpReadDirectory, pathBytes(path)));
}

QMap<QString, QString> afc_get_file_info(int socket, const QString &path)
{
    QMap<QString, QString> info;
    QString key;
    for (const QString &text : texts(requestData(socket, AFCOpGetFileInfo, pathBytes(path)))) {
        if (key.isEmpty()) {
            key = text;
        } else {
            info.insert(key, text);
            key.clear();
        }
    }
    return info;
}

void house_arrest_vend_container(int socket, const QString &identifier)
{
    CFType command = CFType::newDictionary();
    command.setValue(CFType::fromString(QStringLiteral("Command")),
        CFType::fromString(QStringLiteral("VendContainer")));
    command.setValue(
        CFType::fromString(QStringLiteral("Identifier")), CFType::fromString(identifier));
    mobiledevice_sendmsg(socket, command, false, afcTimeoutMs);
    const CFType reply = mobiledevice_recmsg(socket, command, afcTimeoutMs);
    // Anything but a dictionary is no answer to the request either.
    if (!reply.isDictionary() || !reply.value(QStringLiteral("Error")).isNull())
        throwRuntimeError(QStringLiteral("can not find %1.").arg(identifier));
}
