// A service's broken reply, as the device folder's faults file asks for it:
//   "Replies" = { service name = { "Fault" = "CutShort" | "CloseMidReply" | "WrongMagic" |
//                                            "ErrorStatus" | "Delay",
//                                  "After" = messages sent whole first (default 0),
//                                  "Code" = the error for "ErrorStatus" (default 1),
//                                  "DelayMs" = how long "Delay" waits (default 60000) } }
// "CutShort" sends the header and half the rest, "CloseMidReply" half the header; the
// service then ends. "WrongMagic" concerns the file service only; "ErrorStatus" makes the
// service answer with an error instead of doing what was asked. "Delay" sends the reply
// whole after the wait, unless the peer or the device goes first.
#pragma once

#include "plistnode.h"

#include <cstddef>
#include <string>

class ServiceConnection;

class ReplyFault
{
public:
    enum Kind { None, CutShort, CloseMidReply, WrongMagic, ErrorStatus, Delay };

    explicit ReplyFault(ServiceConnection &connection);

    // The fault of the next message the service sends: None but for the one after "After".
    Kind next();
    long long code() const { return m_code; }

    // Sends `message` whole, or broken as `kind` says. False when the service must end.
    static bool send(
        ServiceConnection &connection, const std::string &message, size_t headerLength, Kind kind);
    // The same for a framed property list.
    static bool sendMessage(
        ServiceConnection &connection, const PlistNode &message, bool binary, Kind kind);

private:
    Kind m_kind = None;
    long long m_after = 0;
    long long m_code = 1;
    long long m_sent = 0;
};
