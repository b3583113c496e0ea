#include "app/phonecountry.h"

#include "platform/sqlite_qt/sqlite_qt.h"
#include "records/countrylibdb.h"
#include "shell/messagebox.h"

#include <exception>

QString PhoneCountry::settle(const QString &code, const QString &deviceName, const Chooser &choose)
{
    if (!code.isEmpty()) {
        CountryLibDb countries { QString() };
        bool found = false;
        countries.countryByMcc(code, &found);
        if (found)
            return code;
    } else {
        QString text = tr("IDS_ANDROID_%1_CANT_READ_MMC_NUMBER");
        if (text.contains(QLatin1String("%1")))
            text = text.arg(deviceName);
        showInfo(text);
    }
    QString chosen;
    return choose(&chosen) ? chosen : code;
}

QString PhoneCountry::ofHandles(const QString &smsDbPath, int version)
{
    // Both layouts keep the ISO letters of each correspondent's country beside the number.
    const char *query = version == 5
        ? "select lower(country) as sn, count(*) as n from group_member where country<>'' "
          "group by sn order by n desc, sn limit 1"
        : "select lower(country) as sn, count(*) as n from handle where country<>'' "
          "group by sn order by n desc, sn limit 1";
    try {
        QString sn;
        {
            Sqlite3DB db;
            db.openThrow(smsDbPath, Sqlite3DB::ReadOnly);
            Sqlite3Cursor cursor = db.queryThrow(Sqlite3Sql(query));
            if (!cursor.moveNext())
                return QString();
            sn = cursor.getText(QStringLiteral("sn"));
        }
        CountryLibDb countries { QString() };
        bool found = false;
        const _CountryInfo country = countries.countryBySn(sn, &found);
        return found ? country.mmc.section(QLatin1Char(','), 0, 0) : QString();
    } catch (const std::exception &) {
        // The user is asked instead.
        return QString();
    }
}
