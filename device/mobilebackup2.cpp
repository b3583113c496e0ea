#include "mobilebackup2.h"

#include "devicelink.h"
#include "devicesession.h"
#include "servicesocket.h"
#include "shell/runtimeerror.h"

namespace {

constexpr int backupTimeoutMs = 60000;

CFType key(const char *name)
{
    return CFType::fromString(QLatin1String(name));
}

// A mutable dictionary with the entries of `source`, which may be immutable or the caller's.
CFType mutableCopy(const CFType &source)
{
    CFType copy = CFType::newDictionary();
    for (const CFType &entry : source.keys())
        copy.setValue(entry, source.value(entry));
    return copy;
}

} // namespace

void mobilebackup2_start(AMDeviceRef device, int &socket)
{
    mobiledevice_start_service(device, "com.apple.mobilebackup2", socket);
    mobiledevice_link_version_exchange(socket);
}

double mobiledevice_backup2_version_exchange(int socket, const double *versions, qint8 count)
{
    CFType supported = CFType::newArray();
    for (int i = 0; versions && i < count; ++i)
        supported.append(CFType::fromNumber(versions[i]));
    CFType hello = CFType::newDictionary();
    hello.setValue(key("SupportedProtocolVersions"), supported);
    const CFType sent = mobilebackup2_send_message(socket, QStringLiteral("Hello"), hello);
    int errorCode = 0;
    const CFType response = mobilebackup2_receive_response(socket, errorCode, sent);
    if (errorCode == 1)
        throwRuntimeError(QStringLiteral(
            "mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_NO_COMMON_VERSION"));
    if (errorCode != 0)
        throwRuntimeError(
            QStringLiteral("mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_REPLY_NOT_OK"));
    return response.value(QStringLiteral("ProtocolVersion")).toDouble(0);
}

CFType mobilebackup2_send_message(int socket, const QString &name, const CFType &dictionary)
{
    // The caller's dictionary stays as it was given.
    CFType message = mutableCopy(dictionary);
    message.setValue(key("MessageName"), CFType::fromString(name));
    return mobiledevice_link_send_process_message(socket, message);
}

CFType mobilebackup2_send_request(int socket, const QString &name, const QString &target,
    const QString &source, const CFType &options)
{
    CFType request = CFType::newDictionary();
    request.setValue(key("TargetIdentifier"), CFType::fromString(target));
    if (!source.isEmpty())
        request.setValue(key("SourceIdentifier"), CFType::fromString(source));
    if (!options.isNull()) {
        request.setValue(key("Options"), options);
        const char *copied = nullptr;
        if (name == QLatin1String("Unback"))
            copied = "Password";
        else if (name == QLatin1String("EnableCloudBackup"))
            copied = "CloudBackupState";
        if (copied) {
            const CFType value = options.value(QLatin1String(copied));
            if (!value.isNull())
                request.setValue(key(copied), value);
        }
    }
    return mobilebackup2_send_message(socket, name, request);
}

void mobilebackup2_receive_message(int socket, CFType &message, QString &name)
{
    mobiledevice_link_sc_recv_dlmessaeg(socket, message, name, CFType());
}

CFType mobilebackup2_receive_response(
    int socket, int &errorCode, const CFType &request, CFType *message)
{
    CFType received;
    const CFType dictionary = mobiledevice_link_sc_recv_process_message(socket, request, &received);
    if (dictionary.value(QStringLiteral("MessageName")).toString() != QLatin1String("Response"))
        throwRuntimeError(
            QStringLiteral("Did not receive a message(\"Message Name\" is \"Response\").\n%1")
                .arg(messageXml(received)));
    // A code past 32 bits is still a failure, never success.
    const qint64 code = dictionary.value(QStringLiteral("ErrorCode")).toLongLong(0);
    errorCode = code == static_cast<int>(code) ? static_cast<int>(code) : -1;
    if (message)
        *message = received;
    return dictionary;
}

CFType mobilebackup2_send_status_response(
    int socket, qint32 code, const QString &description, const CFType &dictionary)
{
    const CFType status = deviceLinkMessage(QStringLiteral("DLMessageStatusResponse"),
        { CFType::fromNumber(code), CFType::fromString(deviceLinkParameter(description)),
            dictionary.isNull() ? CFType::fromString(deviceLinkParameter(QString()))
                                : dictionary });
    mobiledevice_sendmsg(socket, status, true, backupTimeoutMs);
    return CFType::deepCopy(status);
}

void mobilebackup2_request_backup(int socket, const QString &deviceIdentifier, bool full)
{
    qDebug(
        "Requesting backup from device, %s", full ? "Full backup mode" : "Incremental backup mode");
    CFType options;
    if (full) {
        options = CFType::newDictionary();
        options.setValue(key("ForceFullBackup"), CFType::fromBool(true));
    }
    mobilebackup2_send_request(
        socket, QStringLiteral("Backup"), deviceIdentifier, deviceIdentifier, options);
}

void mobilebackup2_set_cloud_backup(int socket, const QString &deviceIdentifier, bool enable)
{
    qDebug("Set EnableCloudBackup: %d", enable ? 1 : 0);
    CFType options = CFType::newDictionary();
    options.setValue(key("CloudBackupState"), CFType::fromBool(enable));
    const CFType sent = mobilebackup2_send_request(
        socket, QStringLiteral("EnableCloudBackup"), deviceIdentifier, deviceIdentifier, options);
    int errorCode = 0;
    mobilebackup2_receive_response(socket, errorCode, sent);
    if (errorCode != 0)
        throwRuntimeError(QStringLiteral("Set EnableCloudBackup error code: %1").arg(errorCode));
}
