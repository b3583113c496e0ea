// Talking to a started device service over its socket: waits, whole sends and receives
// with time-outs, and framed property-list messages (a 4-byte big-endian length, then the
// list in XML or binary form). Time-outs are milliseconds; below 1 waits without limit.
#pragma once

#include "cftype.h"

#include <functional>

// The largest message body accepted from a peer; a longer announced length is an error.
constexpr int mobiledevice_max_message_length = 64 * 1024 * 1024;

// > 0 ready, 0 timed out, < 0 error.
int mobiledevice_wait_socket(int socket, int timeoutMs, bool forReading);
// Sends every byte unless the peer goes, an error occurs or a wait times out; returns the
// bytes sent, 0 for a length below 1.
int mobiledevice_send(int socket, const char *bytes, int length, int timeoutMs);
// Bytes received, from 0 to `length`; each wait for more may take up to the time-out.
int mobiledevice_recv(int socket, char *buffer, int length, int timeoutMs);
int mobiledevice_close_socket(int socket);

// The message as XML property-list text, for error texts and the debug log.
QString messageXml(const CFType &message);

// Throws std::runtime_error when the message cannot be sent whole.
void mobiledevice_sendmsg(int socket, const CFType &message, bool binary, int timeoutMs);
// The next message; a null value when its body is no property list. Throws on a short
// receive or a length above the bound; `request` only fills the error text. The time-out
// limits each wait, for the length as for the body. `whileWaiting` runs about every 200 ms
// of a wait and may throw to end it.
CFType mobiledevice_recmsg(int socket, const CFType &request, int timeoutMs,
    const std::function<void()> &whileWaiting = {});
