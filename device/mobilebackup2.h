// A client of the device's backup service "com.apple.mobilebackup2": the device-link
// handshake, the protocol-version exchange ("Hello"), requests, their "Response" messages
// and device-link status responses. Every failure throws std::runtime_error.
#pragma once

#include "cftype.h"

#include "platform/mobiledevice/amdevice.h"

#include <QList>
#include <QString>

// Starts the service and links it; the socket is the caller's to close.
void mobilebackup2_start(AMDeviceRef device, int &socket);
// The version the device chose among `versions`.
double mobiledevice_backup2_version_exchange(int socket, const double *versions, qint8 count);
// Sends the service message `name` with the entries of `dictionary` (left unchanged) and
// returns a copy of the array sent.
CFType mobilebackup2_send_message(int socket, const QString &name, const CFType &dictionary);
// "TargetIdentifier" always; "SourceIdentifier" when not empty; "Options" when given.
CFType mobilebackup2_send_request(int socket, const QString &name, const QString &target,
    const QString &source, const CFType &options);
void mobilebackup2_receive_message(int socket, CFType &message, QString &name);
// A copy of the "Response" dictionary; its "ErrorCode" (0 when absent) in `errorCode`.
CFType mobilebackup2_receive_response(
    int socket, int &errorCode, const CFType &request, CFType *message = nullptr);
CFType mobilebackup2_send_status_response(
    int socket, qint32 code, const QString &description, const CFType &dictionary);
void mobilebackup2_request_backup(int socket, const QString &deviceIdentifier, bool full);
void mobilebackup2_set_cloud_backup(int socket, const QString &deviceIdentifier, bool enable);
