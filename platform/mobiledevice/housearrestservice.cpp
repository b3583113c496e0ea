// "com.apple.mobile.house_arrest": "VendContainer" for an installed application, then the
// file service inside that application's container, whose folder is
// "private/var/mobile/Applications/<identifier>" of the device's file system.
#include "afcserver.h"
#include "serviceconnection.h"
#include "serviceregistry.h"
#include "simulateddevice.h"

#include <sys/stat.h>

namespace {

// The container folder of an application, or "" when there is none.
std::string containerOf(const SimulatedDevice &device, const std::string &identifier)
{
    if (identifier.empty() || identifier == "." || identifier == ".."
        || identifier.find('/') != std::string::npos)
        return std::string();
    const std::string folder
        = device.fileSystemRoot() + "/private/var/mobile/Applications/" + identifier;
    struct stat info;
    return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? folder : std::string();
}

void runHouseArrest(ServiceConnection &connection)
{
    bool closed = false;
    const PlistNode request = connection.receiveMessage(&closed, 0);
    if (request.isNull())
        return;
    ReplyFault fault(connection);
    const ReplyFault::Kind kind = fault.next();
    if (request.stringItem("Command") != "VendContainer") {
        connection.log("unknown command");
        ReplyFault::sendMessage(
            connection, PlistNode::textDictionary("Error", "InvalidCommand"), false, kind);
        return;
    }
    const std::string identifier = request.stringItem("Identifier");
    const std::string container = kind == ReplyFault::ErrorStatus
        ? std::string()
        : containerOf(connection.device(), identifier);
    if (container.empty()) {
        connection.log("no container for " + identifier);
        ReplyFault::sendMessage(
            connection, PlistNode::textDictionary("Error", "ApplicationLookupFailed"), false, kind);
        return;
    }
    connection.log("vended " + identifier);
    if (ReplyFault::sendMessage(
            connection, PlistNode::textDictionary("Status", "Complete"), false, kind))
        AFCServer(connection, container, fault).serve();
}

const ServiceRegistration registration("com.apple.mobile.house_arrest", &runHouseArrest);

} // namespace
