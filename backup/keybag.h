// The keybag of an encrypted backup: one password-wrapped key per data-protection class.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

using KeybagTags = QMap<QString, QByteArray>;

// One tag/value item of the keybag blob while it is parsed.
struct KeybagItem
{
    QString tag;
    QByteArray value;
};

struct Keybag
{
    // PBKDF2 iteration counts above this are refused: the count comes from the backup, and
    // each unlock runs in the GUI thread. Backups of this kind use 10000; the bound takes
    // about a second.
    static constexpr quint32 MaxIterations = 1000000;

    KeybagTags header;
    QMap<qint32, KeybagTags> classes;

    // Never fails; an item running past the end of the blob is dropped.
    static Keybag parse(const QByteArray &blob);
    // Unwraps the password-wrapped class keys into "KEY"; false for a wrong passcode or a
    // keybag that cannot be unlocked at all (see problem()).
    static bool unlock(Keybag &keybag, const QByteArray &passcode);
    // Why the keybag cannot be unlocked with any passcode; empty when it can be tried.
    static QString problem(const Keybag &keybag);
    // The 32-byte file key, or empty.
    static QByteArray unwrapFileKey(
        const Keybag &keybag, int protectionClass, const QByteArray &wrappedKey);
    // The first 4 bytes of the value, big-endian; 0 when missing or shorter.
    static quint32 tagValueU32(const KeybagTags &tags, const QString &tag);
};
