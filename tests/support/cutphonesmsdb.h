// A current phone's sms.db cut short, as a copy broken off before its end leaves it: the
// file ends inside a leaf page of the message table, so that page's last bytes read as
// zeros and the rows kept there read as row id 0.
#pragma once

#include <QList>
#include <QString>

class CurrentPhoneSmsDb;

// Two correspondents and three chats: one with each and a group of both.
struct ThreePhoneChats
{
    qint64 ann = 0;
    qint64 bob = 0;
    QList<qint64> chats;
};
ThreePhoneChats addThreePhoneChats(CurrentPhoneSmsDb &phone);

// Writes the database beneath dataFolder's "file-relay" tree with at least `messages`
// messages spread over three chats, then cuts `cutBytes` off its end. Returns false when
// the file could not be made so.
bool writeCutPhoneSmsDb(const QString &dataFolder, int messages, int cutBytes);

// Writes the database beneath dataFolder's "file-relay" tree with messages long enough that the
// message table's tree grows a level, and stops as it has: the file then ends with an interior
// page of that table, whose pointers to the pages below lie in its last bytes, and some
// messages have an attachment. Returns the file's path, or an empty string when the file could
// not be made so.
QString writePhoneSmsDbEndingInItsTree(const QString &dataFolder);
