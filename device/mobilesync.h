// A client of the device's synchronisation service "com.apple.mobilesync": a session for
// one data class, its records read in batches, changes sent, all records cleared, and the
// device setting for tethered synchronisation. Every failure throws std::runtime_error.
#pragma once

#include "cftype.h"
#include "mobilesyncanchors.h"

#include "platform/mobiledevice/amdevice.h"

#include <QList>

// Bounds on what one read of all records takes from the device.
constexpr int mobilesync_max_batches = 100000;
constexpr int mobilesync_max_records = 1000000;

// The library's code of the set call.
int mobilesync_set_disable_tethered(AMDeviceRef device, const QString &dataClass, bool disable);
// Starts the service, links it and opens the session; the socket is the caller's to close.
void mobilesync_start_session(
    AMDeviceRef device, const MobileSyncAnchors &anchors, int &socket, bool ping);
// Each batch's records dictionary, acknowledged one by one.
QList<CFType> mobilesync_get_all_records(int socket, const QString &dataClass);
// The device's remapping of record identifiers.
CFType mobilesync_send_changes(
    int socket, const CFType &records, const QString &dataClass, const CFType &actions);
void mobilesync_clear_all_records(int socket, const QString &dataClass);
void mobilesync_finish_session(int socket, const QString &dataClass);
