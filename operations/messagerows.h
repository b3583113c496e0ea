// The find-or-insert steps shared by the writers into message databases (saving into a local
// database and the merge into a device's): a row the file has already is used, never added
// again.
#pragma once

#include <QtGlobal>

class IOS6MessageDb;
struct _MsgAttachment;
struct _MsgChat;
struct _MsgHandle;

// Chats of recovered messages whose address is still unknown: no file can take them.
bool isUnknownChat(const _MsgChat &chat);
// The chat's row id, inserted when missing.
qint64 chatRowidOrInsert(IOS6MessageDb &db, const _MsgChat &chat);
// The handle's row id, inserted when missing, and joined to the chat.
qint64 joinedHandleRowid(IOS6MessageDb &db, qint64 chatRowid, const _MsgHandle &handle);
// Joins the attachment's row, inserted when missing, to the message.
void joinAttachment(IOS6MessageDb &db, qint64 messageRowid, const _MsgAttachment &attachment);
