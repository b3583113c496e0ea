#include "devicelink.h"

#include "runtimeerror.h"
#include "servicesocket.h"

namespace {

constexpr int linkTimeoutMs = 60000;

const char emptyParameter[] = "___EmptyParameterString___";

QString parameter(const QString &text)
{
    return text.isEmpty() ? QLatin1String(emptyParameter) : text;
}

// Item 0 as text: empty unless the message is an array that starts with a string.
QString nameOf(const CFType &message)
{
    return message.isArray() ? message.at(0).toString() : QString();
}

QString xmlOf(const CFType &message)
{
    return QString::fromUtf8(CFType::toPlistBytes(message, CFType::XmlFormat));
}

CFType arrayOf(const QString &name, const CFType &item)
{
    CFType array = CFType::newArray();
    array.append(CFType::fromString(name));
    array.append(item);
    return array;
}

} // namespace

void mobiledevice_link_version_exchange(int socket)
{
    const CFType first = mobiledevice_recmsg(socket, CFType(), linkTimeoutMs);
    if (nameOf(first) == QLatin1String("DLMessageDeviceReady"))
        return;
    const CFType reply = arrayOf(QStringLiteral("DLMessageVersionExchange"),
        CFType::fromString(QStringLiteral("DLVersionsOk")));
    mobiledevice_sendmsg(socket, reply, false, linkTimeoutMs);
    const CFType answer = mobiledevice_recmsg(socket, reply, linkTimeoutMs);
    if (nameOf(answer) != QLatin1String("DLMessageDeviceReady"))
        throwRuntimeError(
            QStringLiteral("invalid feedback after send DLMessageVersionExchange.\n%1")
                .arg(xmlOf(answer)));
}

void mobiledevice_link_disconnect(int socket, const QString &reason)
{
    mobiledevice_sendmsg(socket,
        arrayOf(QStringLiteral("DLMessageDisconnect"), CFType::fromString(parameter(reason))), true,
        linkTimeoutMs);
}

CFType mobiledevice_link_send_process_message(int socket, const CFType &dictionary)
{
    const CFType message = arrayOf(QStringLiteral("DLMessageProcessMessage"), dictionary);
    mobiledevice_sendmsg(socket, message, true, linkTimeoutMs);
    return CFType::deepCopy(message);
}

void mobiledevice_link_sc_recv_dlmessaeg(
    int socket, CFType &message, QString &name, const CFType &request)
{
    const CFType received = mobiledevice_recmsg(socket, request, linkTimeoutMs);
    const QString receivedName = nameOf(received);
    if (!receivedName.startsWith(QLatin1String("DL"), Qt::CaseInsensitive)) {
        qDebug("mobiledevice_link_sc_recv_dlmessaeg recv invalid msg:\n%s",
            qUtf8Printable(xmlOf(received)));
        throwRuntimeError(QStringLiteral("Did not receive a DL* message as expected."));
    }
    message = received;
    name = receivedName;
}

CFType mobiledevice_link_sc_recv_process_message(int socket, const CFType &request, CFType *message)
{
    CFType received;
    QString name;
    mobiledevice_link_sc_recv_dlmessaeg(socket, received, name, request);
    // Without its dictionary a process message carries nothing to act on.
    if (name != QLatin1String("DLMessageProcessMessage") || !received.at(1).isDictionary()) {
        qDebug("mobiledevice_link_sc_recv_process_message recv invalid msg:\n%s",
            qUtf8Printable(xmlOf(received)));
        throwRuntimeError(QStringLiteral("Did not receive DLMessageProcessMessage as expected."));
    }
    if (message)
        *message = received;
    return CFType::deepCopy(received.at(1));
}
