// The client side of the device's file-relay service: start it and ask it for sources,
// after which the service streams an archive of them over the socket.
#pragma once

#include <QStringList>

#include <functional>

// Starts "com.apple.mobile.file_relay"; the socket then belongs to the caller.
void mobiledevice_file_relay_start(void *device, int &socket);
// Sends the request and checks the acknowledgement; throws std::runtime_error
// "invalid feedback.\n<reply as XML>" when the device does not acknowledge it. The device
// may take long to answer: `whileWaiting` runs about every 200 ms meanwhile and may throw
// to stop the wait.
void mobiledevice_file_relay_request(
    int socket, const QStringList &sources, const std::function<void()> &whileWaiting = {});
