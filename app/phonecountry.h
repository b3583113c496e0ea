// How the country of a phone's numbers is settled, for a phone plugged in and for a backup of
// one alike: a mobile country code the country table knows is kept, otherwise the user
// chooses one.
#pragma once

#include <QCoreApplication>
#include <QString>

#include <functional>

class PhoneCountry
{
    Q_DECLARE_TR_FUNCTIONS(PhoneCountry)
public:
    // Runs the country dialog; false when it closed without a choice.
    using Chooser = std::function<bool(QString *code)>;

    // The code to read the phone's numbers under: `code` when the table knows it, else the
    // chosen one, after saying that the phone gave none when `code` is empty; `code` again
    // when nothing was chosen.
    static QString settle(const QString &code, const QString &deviceName, const Chooser &choose);
    // The mobile country code of the country most handles of a copied message database
    // (layout 5 or 6) name; empty when they name none the table knows, or cannot be read.
    static QString ofHandles(const QString &smsDbPath, int version);
};
