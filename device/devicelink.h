// The device-link convention of the backup and sync services: every message is one
// property-list array whose item 0 names it ("DLMessage..."); the others are its parameters.
#pragma once

#include "cftype.h"

#include <QList>
#include <QString>

// The message array: the name, then the items in order.
CFType deviceLinkMessage(const QString &name, const QList<CFType> &items);
// Item 0 as text: empty unless the message is an array that starts with a string.
QString deviceLinkName(const CFType &message);
// An empty text parameter goes as "___EmptyParameterString___".
QString deviceLinkParameter(const QString &text);

// The opening handshake on a freshly started service socket; throws on failure.
void mobiledevice_link_version_exchange(int socket);
// Sends ["DLMessageDisconnect", reason]; an empty reason goes as the empty-parameter text.
void mobiledevice_link_disconnect(int socket, const QString &reason);
// Sends ["DLMessageProcessMessage", dictionary] and returns a copy of what was sent.
CFType mobiledevice_link_send_process_message(int socket, const CFType &dictionary);
// Receives one message and its name; throws when the name does not begin with "DL".
void mobiledevice_link_sc_recv_dlmessaeg(
    int socket, CFType &message, QString &name, const CFType &request);
// Receives a "DLMessageProcessMessage" and returns a copy of its dictionary.
CFType mobiledevice_link_sc_recv_process_message(
    int socket, const CFType &request, CFType *message = nullptr);
