#include "filerelay.h"

#include "devicesession.h"
#include "servicesocket.h"
#include "shell/runtimeerror.h"

namespace {

constexpr int requestTimeoutMs = 60000;
// The device prepares the archive before it answers, which may take long.
constexpr int replyTimeoutMs = 3600000;

} // namespace

void mobiledevice_file_relay_start(void *device, int &socket)
{
    mobiledevice_start_service(device, "com.apple.mobile.file_relay", socket);
}

void mobiledevice_file_relay_request(
    int socket, const QStringList &sources, const std::function<void()> &whileWaiting)
{
    CFType request = CFType::newDictionary();
    CFType names = CFType::newArray();
    for (const QString &source : sources)
        names.append(CFType::fromString(source));
    request.setValue(CFType::fromString(QStringLiteral("Sources")), names);
    mobiledevice_sendmsg(socket, request, false, requestTimeoutMs);

    const CFType reply = mobiledevice_recmsg(socket, request, replyTimeoutMs, whileWaiting);
    const QString status = reply.value(QStringLiteral("Status")).toString();
    if (status.compare(QLatin1String("Acknowledged"), Qt::CaseInsensitive) != 0) {
        throwRuntimeError(QStringLiteral("invalid feedback.\n%1").arg(messageXml(reply)));
    }
}
