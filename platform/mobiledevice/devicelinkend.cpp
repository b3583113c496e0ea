#include "devicelinkend.h"

#include "serviceconnection.h"

const char DeviceLinkEnd::emptyParameter[] = "___EmptyParameterString___";

namespace {

constexpr uint64_t deviceLinkMajorVersion = 300;

} // namespace

DeviceLinkEnd::DeviceLinkEnd(ServiceConnection &connection)
    : m_connection(connection)
    , m_fault(connection)
{
}

bool DeviceLinkEnd::handshake()
{
    if (!send(array({ text("DLMessageVersionExchange"), plist_new_uint(deviceLinkMajorVersion),
            plist_new_uint(0) })))
        return false;
    std::string name;
    const PlistNode answer = receive(&name);
    if (name != "DLMessageVersionExchange"
        || PlistNode::textOf(itemOf(answer, 1)) != "DLVersionsOk") {
        m_connection.log("version exchange refused");
        return false;
    }
    return send(array({ text("DLMessageDeviceReady") }));
}

PlistNode DeviceLinkEnd::receive(std::string *name)
{
    bool closed = false;
    // Between messages the program may take as long as it likes.
    PlistNode message = m_connection.receiveMessage(&closed, 0);
    *name = PlistNode::textOf(itemOf(message, 0));
    if (message.isNull() && !closed)
        m_connection.log("unreadable message");
    return message;
}

PlistNode DeviceLinkEnd::nextRequest(std::string *name)
{
    PlistNode message = receive(name);
    if (message.isNull() || *name == "DLMessageDisconnect") {
        m_connection.log(message.isNull() ? "peer gone" : "disconnected");
        return PlistNode();
    }
    return message;
}

bool DeviceLinkEnd::send(const PlistNode &message, ReplyFault::Kind fault)
{
    return ReplyFault::sendMessage(m_connection, message, true, fault);
}

PlistNode DeviceLinkEnd::array(std::initializer_list<plist_t> items)
{
    PlistNode result(plist_new_array());
    for (plist_t item : items)
        plist_array_append_item(result.get(), item);
    return result;
}

plist_t DeviceLinkEnd::text(const std::string &value)
{
    return plist_new_string(value.c_str());
}

plist_t DeviceLinkEnd::itemOf(const PlistNode &message, uint32_t index)
{
    if (!PlistNode::isType(message.get(), PLIST_ARRAY)
        || index >= plist_array_get_size(message.get()))
        return nullptr;
    return plist_array_get_item(message.get(), index);
}
