// The two caches of a current phone's message rows that its insert triggers keep from the
// joins: whether a message has attachments, and the room names of its chats. A writer that
// runs with the file's triggers off notes the rows it joins and sets the caches at the end.
#pragma once

#include <QVector>

class Sqlite3DB;

class MessageCaches
{
public:
    // A message row the writer inserted: every join it ends up with counts.
    void addInserted(qint64 message) { inserted.append(message); }
    // A row the writer found and joined attachments to.
    void addAttachmentsJoined(qint64 message) { attached.append(message); }

    // Leaves the noted rows as the phone's triggers after inserts into message_attachment_join
    // and chat_message_join would: each cache only where the file has that trigger and the
    // column, in one statement each. Call after the joins are written, inside the writer's
    // transaction, with the triggers still off. Throws the wrapper's exception.
    void write(Sqlite3DB &db) const;

private:
    QVector<qint64> inserted;
    QVector<qint64> attached;
};
