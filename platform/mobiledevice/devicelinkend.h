// The device's end of the device-link convention that its backup and sync services speak:
// the opening handshake, then property-list arrays named by their item 0.
#pragma once

#include "plistnode.h"
#include "replyfault.h"

#include <initializer_list>
#include <string>

class ServiceConnection;

class DeviceLinkEnd
{
public:
    static const char emptyParameter[];

    explicit DeviceLinkEnd(ServiceConnection &connection);

    // Offers the device's version and waits for the program's "DLVersionsOk".
    bool handshake();
    // The next message and its name ("" when item 0 is no text); null when the peer is
    // gone or sent no property list.
    PlistNode receive(std::string *name);
    // The same, but null too for "DLMessageDisconnect", which ends the conversation.
    PlistNode nextRequest(std::string *name);
    // The fault due for the next message sent; the caller answers "ErrorStatus" itself.
    ReplyFault::Kind nextFault() { return m_fault.next(); }
    long long faultCode() const { return m_fault.code(); }
    // False when the service must end.
    bool send(const PlistNode &message, ReplyFault::Kind fault);
    bool send(const PlistNode &message) { return send(message, nextFault()); }

    ServiceConnection &connection() { return m_connection; }

    // An array of the given items, which it takes over; texts are made with `text`.
    static PlistNode array(std::initializer_list<plist_t> items);
    static plist_t text(const std::string &value);
    // Item `index` of an array, still owned by it; null when there is none.
    static plist_t itemOf(const PlistNode &message, uint32_t index);

private:
    ServiceConnection &m_connection;
    ReplyFault m_fault;
};
