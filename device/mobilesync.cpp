#include "mobilesync.h"

#include "devicelink.h"
#include "devicesession.h"
#include "servicesocket.h"
#include "shell/runtimeerror.h"

namespace {

constexpr int syncTimeoutMs = 60000;
constexpr int finishTimeoutMs = 3600000;
constexpr int protocolVersion = 106;

CFType text(const QString &value)
{
    return CFType::fromString(value);
}

CFType send(int socket, const char *name, const QList<CFType> &items)
{
    const CFType message = deviceLinkMessage(QLatin1String(name), items);
    mobiledevice_sendmsg(socket, message, false, syncTimeoutMs);
    return message;
}

[[noreturn]] void invalidFeedback(const CFType &request, const CFType &reply)
{
    throwRuntimeError(QStringLiteral("invalid feedback after send %1.\n%2")
                          .arg(deviceLinkName(request), messageXml(reply)));
}

// The reply must be named `expected` and hold `items` items, its name included.
CFType expect(int socket, const CFType &request, const char *expected, int items)
{
    const CFType reply = mobiledevice_recmsg(socket, request, syncTimeoutMs);
    if (deviceLinkName(reply) != QLatin1String(expected) || reply.arrayCount() < items)
        invalidFeedback(request, reply);
    return reply;
}

} // namespace

int mobilesync_set_disable_tethered(AMDeviceRef device, const QString &dataClass, bool disable)
{
    CFType value = CFType::newDictionary();
    value.setValue(text(QStringLiteral("DisableTethered")), CFType::fromBool(disable));
    return mobiledevice_set_value(
        device, QStringLiteral("com.apple.mobile.tethered_sync"), dataClass, value);
}

void mobilesync_start_session(
    AMDeviceRef device, const MobileSyncAnchors &anchors, int &socket, bool ping)
{
    mobiledevice_start_service(device, "com.apple.mobilesync", socket);
    mobiledevice_link_version_exchange(socket);
    const CFType start = send(socket, "SDMessageSyncDataClassWithDevice",
        { text(anchors.dataClass), text(anchors.deviceAnchor), text(anchors.computerAnchor),
            CFType::fromNumber(qint32(protocolVersion)) });
    expect(socket, start, "SDMessageSyncDataClassWithComputer", 1);
    if (ping)
        send(socket, "DLMessagePing",
            { text(QStringLiteral("Preparing to get changes for device")) });
}

QList<CFType> mobilesync_get_all_records(int socket, const QString &dataClass)
{
    const CFType request = send(socket, "SDMessageGetAllRecordsFromDevice", { text(dataClass) });
    QList<CFType> batches;
    qint64 records = 0;
    for (int batch = 0;; ++batch) {
        const CFType reply = mobiledevice_recmsg(socket, request, syncTimeoutMs);
        const QString name = deviceLinkName(reply);
        if (name == QLatin1String("SDMessageDeviceReadyToReceiveChanges"))
            return batches;
        if (name != QLatin1String("SDMessageProcessChanges"))
            invalidFeedback(request, reply);
        // A device that never stops sending cannot fill the computer's memory.
        if (batch >= mobilesync_max_batches)
            throwRuntimeError(
                QStringLiteral("mobilesync_get_all_records: more than %1 batches from the device.")
                    .arg(mobilesync_max_batches));
        const CFType changes = reply.arrayCount() > 2 ? reply.at(2) : CFType();
        if (changes.isDictionary()) {
            records += changes.dictionaryCount();
            if (records > mobilesync_max_records)
                throwRuntimeError(QStringLiteral(
                    "mobilesync_get_all_records: more than %1 records from the device.")
                                      .arg(mobilesync_max_records));
            batches << CFType::deepCopy(changes);
        }
        send(socket, "SDMessageAcknowledgeChangesFromDevice", { text(dataClass) });
    }
}

CFType mobilesync_send_changes(
    int socket, const CFType &records, const QString &dataClass, const CFType &actions)
{
    if (!records.isDictionary() || !actions.isDictionary())
        throwRuntimeError(
            QStringLiteral("mobilesync_send_changes: records and actions must be dictionaries."));
    const CFType request = send(socket, "SDMessageProcessChanges",
        { text(dataClass), records, CFType::fromBool(false), actions });
    const CFType reply = expect(socket, request, "SDMessageRemapRecordIdentifiers", 3);
    return CFType::deepCopy(reply.at(2));
}

void mobilesync_clear_all_records(int socket, const QString &dataClass)
{
    const CFType request = send(socket, "SDMessageClearAllRecordsOnDevice",
        { text(dataClass), text(deviceLinkParameter(QString())) });
    expect(socket, request, "SDMessageDeviceWillClearAllRecords", 1);
}

void mobilesync_finish_session(int socket, const QString &dataClass)
{
    const CFType request = send(socket, "SDMessageFinishSessionOnDevice", { text(dataClass) });
    mobiledevice_recmsg(socket, request, finishTimeoutMs);
}
