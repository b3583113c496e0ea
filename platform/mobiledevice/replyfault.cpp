#include "replyfault.h"

#include "serviceconnection.h"
#include "simulateddevice.h"

#include <algorithm>

ReplyFault::ReplyFault(ServiceConnection &connection)
{
    const PlistNode faults = connection.device().faults();
    plist_t replies = faults.item("Replies");
    if (!replies || plist_get_node_type(replies) != PLIST_DICT)
        return;
    plist_t entry = plist_dict_get_item(replies, connection.service().c_str());
    if (!entry || plist_get_node_type(entry) != PLIST_DICT)
        return;
    const PlistNode fault(plist_copy(entry));
    const std::string kind = fault.stringItem("Fault");
    if (kind == "CutShort")
        m_kind = CutShort;
    else if (kind == "CloseMidReply")
        m_kind = CloseMidReply;
    else if (kind == "WrongMagic")
        m_kind = WrongMagic;
    else if (kind == "ErrorStatus")
        m_kind = ErrorStatus;
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
    default:
        return connection.sendAll(message.data(), message.size());
    }
}

bool ReplyFault::sendMessage(
    ServiceConnection &connection, const PlistNode &message, bool binary, Kind kind)
{
    const std::string body = binary ? message.toBinary() : message.toXml();
    if (body.empty())
        return false;
    const auto length = static_cast<uint32_t>(body.size());
    std::string frame;
    for (int shift = 24; shift >= 0; shift -= 8)
        frame.push_back(static_cast<char>((length >> shift) & 0xff));
    return send(connection, frame + body, frame.size(), kind);
}
