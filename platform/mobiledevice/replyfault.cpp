#include "replyfault.h"

#include "serviceconnection.h"
#include "simulateddevice.h"

#include <algorithm>

namespace {

PlistNode faultOf(ServiceConnection &connection)
{
    return connection.device().faults().dictItem("Replies").dictItem(connection.service().c_str());
}

} // namespace

ReplyFault::ReplyFault(ServiceConnection &connection)
{
    const PlistNode fault = faultOf(connection);
    const std::string kind = fault.stringItem("Fault");
    if (kind == "CutShort")
        m_kind = CutShort;
    else if (kind == "CloseMidReply")
        m_kind = CloseMidReply;
    else if (kind == "WrongMagic")
        m_kind = WrongMagic;
    else if (kind == "ErrorStatus")
        m_kind = ErrorStatus;
    else if (kind == "Delay")
        m_kind = Delay;
    bool found = false;
    const long long after = fault.integerItem("After", &found);
    if (found)
        m_after = after;
    const long long code = fault.integerItem("Code", &found);
    if (found)
        m_code = code;
}

ReplyFault::Kind ReplyFault::next()
{
    return m_sent++ == m_after ? m_kind : None;
}

bool ReplyFault::send(
    ServiceConnection &connection, const std::string &message, size_t headerLength, Kind kind)
{
    switch (kind) {
    case CutShort:
        connection.log("reply cut short");
        // Always short of the whole, even for a reply that is all header.
        connection.sendAll(message.data(),
            std::min(headerLength + (message.size() - headerLength) / 2, message.size() - 1));
        return false;
    case CloseMidReply:
        connection.log("closed mid-reply");
        connection.sendAll(message.data(), headerLength / 2);
        return false;
    case Delay: {
        bool found = false;
        const long long delay = faultOf(connection).integerItem("DelayMs", &found);
        connection.log("reply delayed");
        if (!connection.holdOpen(static_cast<int>(found ? delay : 60000)))
            return false;
        return connection.sendAll(message.data(), message.size());
    }
    default:
        return connection.sendAll(message.data(), message.size());
    }
}

bool ReplyFault::sendMessage(
    ServiceConnection &connection, const PlistNode &message, bool binary, Kind kind)
{
    const std::string body = message.serialise(binary);
    if (body.empty())
        return false;
    return send(connection, ServiceConnection::frame(body), 4, kind);
}
