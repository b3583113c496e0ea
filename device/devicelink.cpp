#include "devicelink.h"

#include "servicesocket.h"
#include "shell/runtimeerror.h"

namespace {

constexpr int linkTimeoutMs = 60000;

} // namespace

CFType deviceLinkMessage(const QString &name, const QList<CFType> &items)
{
    CFType array = CFType::newArray();
    array.append(CFType::fromString(name));
    for (const CFType &item : items)
        array.append(item);
    return array;
}

QString deviceLinkName(const CFType &message)
{
    return message.isArray() ? message.at(0).toString() : QString();
}

QString deviceLinkParameter(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("___EmptyParameterString___") : text;
}

void mobiledevice_link_version_exchange(int socket)
{
    const CFType first = mobiledevice_recmsg(socket, CFType(), linkTimeoutMs);
    if (deviceLinkName(first) == QLatin1String("DLMessageDeviceReady"))
        return;
    const CFType reply = deviceLinkMessage(QStringLiteral("DLMessageVersionExchange"),
        { CFType::fromString(QStringLiteral("DLVersionsOk")) });
    mobiledevice_sendmsg(socket, reply, false, linkTimeoutMs);
    const CFType answer = mobiledevice_recmsg(socket, reply, linkTimeoutMs);
    if (deviceLinkName(answer) != QLatin1String("DLMessageDeviceReady"))
        throwRuntimeError(
            QStringLiteral("invalid feedback after send DLMessageVersionExchange.\n%1")
                .arg(messageXml(answer)));
}

void mobiledevice_link_disconnect(int socket, const QString &reason)
{
    mobiledevice_sendmsg(socket,
        deviceLinkMessage(QStringLiteral("DLMessageDisconnect"),
            { CFType::fromString(deviceLinkParameter(reason)) }),
        true, linkTimeoutMs);
}

CFType mobiledevice_link_send_process_message(int socket, const CFType &dictionary)
{
    const CFType message
        = deviceLinkMessage(QStringLiteral("DLMessageProcessMessage"), { dictionary });
    mobiledevice_sendmsg(socket, message, true, linkTimeoutMs);
    return CFType::deepCopy(message);
}

void mobiledevice_link_sc_recv_dlmessaeg(
    int socket, CFType &message, QString &name, const CFType &request)
{
    const CFType received = mobiledevice_recmsg(socket, request, linkTimeoutMs);
    const QString receivedName = deviceLinkName(received);
    if (!receivedName.startsWith(QLatin1String("DL"), Qt::CaseInsensitive)) {
        qDebug("mobiledevice_link_sc_recv_dlmessaeg recv invalid msg:\n%s",
            qUtf8Printable(messageXml(received)));
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
            qUtf8Printable(messageXml(received)));
        throwRuntimeError(QStringLiteral("Did not receive DLMessageProcessMessage as expected."));
    }
    if (message)
        *message = received;
    return CFType::deepCopy(received.at(1));
}
