// The built-in country table (calling codes, mobile country codes, national number
// lengths and mobile patterns) and the normalisation of phone numbers to "+<code><number>".
#pragma once

#include "records/absdb.h"

#include <QString>

struct _CountryInfo
{
    QString sn; // ISO letters
    QString n; // English name
    QString ln; // local name
    QString pnum; // calling code, digits only
    QString mmc; // mobile country codes, comma-separated
    QString numc; // national significant number lengths, comma-separated
    QString r1; // mobile number in national form, anchored; empty when the table has none
};

class CountryLibDb : public AbsDb
{
public:
    explicit CountryLibDb(const QString &mcc);
    ~CountryLibDb() override;

    // Copies ":res/countries.db" to "countries.db" in the data folder when that is missing or
    // differs from it in any byte, opens the copy and looks up the country of the mobile
    // country code.
    void open() override;
    // The longest open() waits for another window that replaces the copy: a few seconds.
    static void setLockWait(int milliseconds);

    _CountryInfo currentCountry();
    // The country of a mobile country code, or the current country when none matches.
    _CountryInfo countryByMcc(const QString &mcc, bool *found = nullptr);
    // The country of ISO letters (any case), or the current country when none matches.
    _CountryInfo countryBySn(const QString &sn, bool *found = nullptr);

    // Lower-cases e-mail addresses and aliases; brings phone numbers written in the
    // country's national forms to "+" + calling code + national number.
    static QString normalizeNumber(const _CountryInfo &country, const QString &number);
    static bool isNationalLength(const _CountryInfo &country, int length);
    static bool matchesNationalPattern(const _CountryInfo &country, const QString &text);

private:
    _CountryInfo firstCountry(const Sqlite3Sql &sql, bool *found);

    QString m_mcc;
    _CountryInfo m_current;
};
