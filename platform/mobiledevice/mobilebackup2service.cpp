// "com.apple.mobilebackup2": after the device-link handshake, requests inside process
// messages, each answered by a "Response" whose "ErrorCode" is 0 on success:
//   1 no common protocol version, 2 a malformed request, 3 a request the device does not
//   serve, 4 a request before "Hello".
// "Hello" agrees on a version, "EnableCloudBackup" switches the device's
// "CloudBackupEnabled" backup value, "Backup" is acknowledged. Status responses of the
// program are checked and logged; "DLMessageDisconnect" ends the service.
#include "devicelinkend.h"
#include "serviceconnection.h"
#include "serviceregistry.h"
#include "simulateddevice.h"

#include <cmath>

namespace {

enum ErrorCode { NoError = 0, NoCommonVersion = 1, Malformed = 2, NotServed = 3, NoHello = 4 };

const double deviceVersions[] = { 2.0, 2.1 };

PlistNode response(long long code, const std::string &description = std::string())
{
    PlistNode answer(plist_new_dict());
    plist_dict_set_item(answer.get(), "MessageName", plist_new_string("Response"));
    plist_dict_set_item(answer.get(), "ErrorCode", plist_new_uint(static_cast<uint64_t>(code)));
    if (!description.empty())
        plist_dict_set_item(
            answer.get(), "ErrorDescription", plist_new_string(description.c_str()));
    return answer;
}

bool isNumber(plist_t node)
{
    return PlistNode::isType(node, PLIST_REAL) || PlistNode::isType(node, PLIST_UINT);
}

double numberOf(plist_t node)
{
    if (PlistNode::isType(node, PLIST_REAL)) {
        double value = 0;
        plist_get_real_val(node, &value);
        return value;
    }
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return static_cast<double>(value);
}

class BackupService
{
public:
    explicit BackupService(ServiceConnection &connection)
        : m_link(connection)
        , m_device(connection.device())
    {
    }

    void run()
    {
        if (!m_link.handshake())
            return;
        std::string name;
        for (PlistNode message = m_link.nextRequest(&name); !message.isNull();
             message = m_link.nextRequest(&name)) {
            if (name == "DLMessageStatusResponse") {
                checkStatusResponse(message);
            } else if (name == "DLMessageProcessMessage") {
                plist_t dictionary = DeviceLinkEnd::itemOf(message, 1);
                if (!answer(PlistNode(dictionary ? plist_copy(dictionary) : nullptr)))
                    return;
            } else {
                log("unexpected message " + name);
            }
        }
    }

private:
    void log(const std::string &line) { m_link.connection().log(line); }

    bool answer(const PlistNode &request)
    {
        const ReplyFault::Kind fault = m_link.nextFault();
        PlistNode reply = fault == ReplyFault::ErrorStatus ? response(m_link.faultCode(), "fault")
                                                           : handle(request);
        return m_link.send(DeviceLinkEnd::array(
                               { DeviceLinkEnd::text("DLMessageProcessMessage"), reply.release() }),
            fault);
    }

    PlistNode handle(const PlistNode &request)
    {
        if (!request.isDict())
            return response(Malformed, "no dictionary");
        const std::string name = request.stringItem("MessageName");
        if (name == "Hello")
            return hello(request);
        if (!m_hello)
            return response(NoHello, "Hello first");
        std::string problem = checkIdentifiers(request);
        if (!problem.empty()) {
            log(name + " refused: " + problem);
            return response(Malformed, problem);
        }
        if (name == "EnableCloudBackup")
            return enableCloudBackup(request);
        if (name == "Backup")
            return backup(request);
        log("not served: " + name);
        return response(NotServed, name);
    }

    PlistNode hello(const PlistNode &request)
    {
        plist_t offered = request.item("SupportedProtocolVersions");
        if (!PlistNode::isType(offered, PLIST_ARRAY))
            return response(Malformed, "SupportedProtocolVersions");
        double chosen = 0;
        for (uint32_t i = 0; i < plist_array_get_size(offered); ++i) {
            plist_t item = plist_array_get_item(offered, i);
            if (!isNumber(item))
                return response(Malformed, "SupportedProtocolVersions");
            for (double version : deviceVersions) {
                if (std::fabs(numberOf(item) - version) < 1e-9 && version > chosen)
                    chosen = version;
            }
        }
        if (chosen == 0) {
            log("Hello: no common version");
            return response(NoCommonVersion, "no common version");
        }
        m_hello = true;
        log("Hello: version " + std::to_string(chosen).substr(0, 3));
        PlistNode answer = response(NoError);
        plist_dict_set_item(answer.get(), "ProtocolVersion", plist_new_real(chosen));
        return answer;
    }

    // What every request must carry: this device as its target, a source that is a text
    // when there is one, options that are a dictionary when there are any.
    std::string checkIdentifiers(const PlistNode &request) const
    {
        if (request.stringItem("TargetIdentifier") != m_device.udid())
            return "TargetIdentifier";
        plist_t source = request.item("SourceIdentifier");
        if (source && PlistNode::textOf(source).empty())
            return "SourceIdentifier";
        plist_t options = request.item("Options");
        if (options && !PlistNode::isType(options, PLIST_DICT))
            return "Options";
        return std::string();
    }

    PlistNode enableCloudBackup(const PlistNode &request)
    {
        plist_t state = request.item("CloudBackupState");
        plist_t optionState = PlistNode::entryOf(request.item("Options"), "CloudBackupState");
        if (!PlistNode::isType(state, PLIST_BOOLEAN)
            || !PlistNode::isType(optionState, PLIST_BOOLEAN)
            || PlistNode::boolOf(state) != PlistNode::boolOf(optionState)) {
            log("EnableCloudBackup refused: CloudBackupState");
            return response(Malformed, "CloudBackupState");
        }
        const bool enable = PlistNode::boolOf(state);
        if (!m_device.setDomainValue(
                "com.apple.mobile.backup", "CloudBackupEnabled", PlistNode(plist_new_bool(enable))))
            return response(NotServed, "values not written");
        log(std::string("EnableCloudBackup: ") + (enable ? "on" : "off"));
        return response(NoError);
    }

    PlistNode backup(const PlistNode &request)
    {
        plist_t force = PlistNode::entryOf(request.item("Options"), "ForceFullBackup");
        if (force && !PlistNode::isType(force, PLIST_BOOLEAN)) {
            log("Backup refused: ForceFullBackup");
            return response(Malformed, "ForceFullBackup");
        }
        const bool full = force && PlistNode::boolOf(force);
        const std::string source = request.stringItem("SourceIdentifier");
        log(std::string("Backup: ") + (full ? "full" : "incremental") + ", source "
            + (source.empty() ? "none" : source));
        return response(NoError);
    }

    void checkStatusResponse(const PlistNode &message)
    {
        plist_t code = DeviceLinkEnd::itemOf(message, 1);
        plist_t description = DeviceLinkEnd::itemOf(message, 2);
        plist_t details = DeviceLinkEnd::itemOf(message, 3);
        if (!PlistNode::isType(code, PLIST_UINT) || !PlistNode::isType(description, PLIST_STRING)
            || !(PlistNode::isType(details, PLIST_DICT)
                || PlistNode::isType(details, PLIST_STRING))) {
            log("malformed status response");
            return;
        }
        uint64_t value = 0;
        plist_get_uint_val(code, &value);
        log("status response " + std::to_string(static_cast<int32_t>(value)) + " "
            + PlistNode::textOf(description));
    }

    DeviceLinkEnd m_link;
    SimulatedDevice &m_device;
    bool m_hello = false;
};

void runMobileBackup2(ServiceConnection &connection)
{
    BackupService(connection).run();
}

const ServiceRegistration registration("com.apple.mobilebackup2", &runMobileBackup2);

} // namespace
