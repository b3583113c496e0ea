// One short session with a device per operation: connect, pair when needed, validate,
// start the session, do the one thing, stop the session and disconnect.
#pragma once

#include "cftype.h"

#include "platform/mobiledevice/amdevice.h"

#include <QList>
#include <QString>
#include <QStringList>

// Opens a session. Returns 0 with the session open, or the library's code with `error`
// filled; a step that fails after the connection disconnects before returning.
int mobiledevice_connect(AMDeviceRef device, QString &error);
// Stops the session and disconnects; both results are ignored.
void mobiledevice_end_session(AMDeviceRef device);

// One value per key, in key order; a null value where the device has none. An empty
// domain is the device's own values; an empty key asks for the whole domain.
QList<CFType> mobiledevice_copy_values(
    AMDeviceRef device, const QStringList &keys, const QString &domain);
// The socket belongs to the caller, who closes it with mobiledevice_close_socket.
void mobiledevice_start_service(AMDeviceRef device, const char *service, int &socket);
// The library's code of the set call; throws only when no session can be opened.
int mobiledevice_set_value(
    AMDeviceRef device, const QString &domain, const QString &key, const CFType &value);
QString mobiledevice_copy_device_identifier(AMDeviceRef device);

// True when the device is no longer attached, so that a failed step is its unplugging.
bool mobiledevice_device_gone(AMDeviceRef device);
// What a worker reports instead of its failure when its device is gone.
QString mobiledevice_disconnected_text();
