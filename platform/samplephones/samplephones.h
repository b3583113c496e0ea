// Made-up phones for a machine that has none, so that the program has something to show:
// written into the devices folder, they arrive as phones plugged in. One is of the
// file-relay era (iOS 7, the iOS 6 layout), one is read through a backup and has the layout
// of a current phone (nanosecond dates, some texts only in attributedBody). Each has chats
// (one a group), a few hundred messages over some months with emoji, pictures and a contact
// card, and an address book. Names, numbers and texts are generated; every number lies in
// the 555-0100 to 555-0199 range kept for fiction.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace samplephones {

// What a sample phone holds, as the program should show it.
struct PhoneSummary
{
    QString folder; // the phone's folder in the devices folder
    QString name; // the device's name
    QString productVersion;
    QStringList contacts; // "First Last" of each address book entry
    int chats = 0;
    int messages = 0;
    int bodyOnlyTexts = 0; // messages whose words are kept only in attributedBody
};

// The sample phones, in the order they are written; always the same.
QList<PhoneSummary> phones();

// True when the folder holds a sub-folder: a phone, or one on its way in.
bool holdsPhones(const QString &devicesFolder);

// Writes the sample phones into the devices folder, creating it when missing. Each phone is
// built in a hidden folder there, which the device library does not watch, and then renamed
// into place whole. Throws std::runtime_error, having written nothing, when the folder
// already holds a phone or when a phone cannot be written.
void write(const QString &devicesFolder);

} // namespace samplephones
