#include "records/countrylibdb.h"

#include "platform/durablefile/durablefile.h"
#include "shell/datafolder.h"

#include <QFile>
#include <QHash>
#include <QLockFile>
#include <QRegularExpression>

#include <stdexcept>

namespace {

_CountryInfo readCountry(const Sqlite3Cursor &cursor)
{
    _CountryInfo info;
    info.sn = cursor.getText(QStringLiteral("sn"));
    info.n = cursor.getText(QStringLiteral("n"));
    info.ln = cursor.getText(QStringLiteral("ln"));
    info.pnum = cursor.getText(QStringLiteral("pnum"));
    info.mmc = cursor.getText(QStringLiteral("mmc"));
    info.numc = cursor.getText(QStringLiteral("numc"));
    const QString r1 = cursor.getText(QStringLiteral("r1"));
    // The group keeps "^" and "$" around the whole pattern when it has alternatives.
    if (!r1.isEmpty())
        info.r1 = QStringLiteral("^(?:") + r1 + QStringLiteral(")$");
    return info;
}

// Normalising a chat list matches the same few patterns thousands of times.
const QRegularExpression &compiled(const QString &pattern)
{
    thread_local QHash<QString, QRegularExpression> cache;
    auto it = cache.find(pattern);
    if (it == cache.end()) {
        if (cache.size() > 64)
            cache.clear();
        it = cache.insert(pattern, QRegularExpression(pattern));
    }
    return it.value();
}

bool isAsciiLetterOrAt(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
        || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || c == QLatin1Char('@');
}

} // namespace

CountryLibDb::CountryLibDb(const QString &mcc)
    : m_mcc(mcc)
{
}

CountryLibDb::~CountryLibDb() = default;

void CountryLibDb::open()
{
    if (isOpen())
        return;
    const QString path = dataFolder().filePath(QStringLiteral("countries.db"));
    if (!openSoundCopy(path)) {
        // One window replaces the copy at a time; one that waited finds it sound.
        const QString lockPath = path + QStringLiteral(".lock");
        QLockFile lock(lockPath);
        if (!lock.lock())
            throw std::runtime_error(QStringLiteral("can not create %1. can not lock %2.")
                                         .arg(path, lockPath)
                                         .toStdString());
        if (!openSoundCopy(path)) {
            const QString resource = QStringLiteral(":res/countries.db");
            if (!QFile::exists(resource))
                throw std::runtime_error("can not find :res/countries.db.");
            // Renamed over whatever is there, complete and synced: a window still reading
            // the old file keeps it, and a power loss leaves the old file or the new one.
            QString error;
            if (!durable::copyFile(resource, path, &error))
                throw std::runtime_error(
                    QStringLiteral("can not create %1. %2").arg(path, error).toStdString());
            openThrow(path, 2);
        }
    }
    m_current = countryByMcc(m_mcc);
}

bool CountryLibDb::openSoundCopy(const QString &path)
{
    // A power loss can leave the copy empty or cut short. The table is a few pages, so a
    // check of all of them costs little beside the queries that follow.
    try {
        openThrow(path, 2);
        Sqlite3Cursor check = queryThrow(Sqlite3Sql("pragma quick_check"));
        Sqlite3Cursor tables
            = queryThrow(Sqlite3Sql("select count(*) from sqlite_master where type='table' "
                                    "and name in ('countries', 'mmc_sn')"));
        if (check.moveNext() && check.getText(0) == QLatin1String("ok") && tables.moveNext()
            && tables.getInt64(0) == 2)
            return true;
    } catch (const std::exception &) {
    }
    close();
    return false;
}

_CountryInfo CountryLibDb::currentCountry()
{
    open();
    return m_current;
}

_CountryInfo CountryLibDb::countryByMcc(const QString &mcc, bool *found)
{
    open();
    Sqlite3Sql sql("select c.* from mmc_sn as m inner join countries as c on m.[sn] = c.sn "
                   "and m.mmc=?");
    sql.addTextParam(mcc);
    return firstCountry(sql, found);
}

_CountryInfo CountryLibDb::countryBySn(const QString &sn, bool *found)
{
    open();
    Sqlite3Sql sql("select * from countries where sn=?");
    sql.addTextParam(sn.toUpper());
    return firstCountry(sql, found);
}

_CountryInfo CountryLibDb::firstCountry(const Sqlite3Sql &sql, bool *found)
{
    Sqlite3Cursor cursor = queryThrow(sql);
    const bool hasRow = cursor.moveNext();
    if (found)
        *found = hasRow;
    return hasRow ? readCountry(cursor) : m_current;
}

bool CountryLibDb::isNationalLength(const _CountryInfo &country, int length)
{
    const QStringList parts = country.numc.split(QLatin1Char(','), Qt::KeepEmptyParts);
    for (const QString &part : parts) {
        bool ok = false;
        const int value = part.toInt(&ok, 10);
        if (ok && value == length)
            return true;
    }
    return false;
}

bool CountryLibDb::matchesNationalPattern(const _CountryInfo &country, const QString &text)
{
    if (country.r1.isEmpty())
        return false;
    return compiled(country.r1).match(text).hasMatch();
}

QString CountryLibDb::normalizeNumber(const _CountryInfo &country, const QString &number)
{
    for (const QChar c : number) {
        if (isAsciiLetterOrAt(c))
            return number.toLower();
    }

    QString digits;
    digits.reserve(number.size());
    for (const QChar c : number) {
        if ((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('+'))
            digits.append(c);
    }
    const int length = digits.size();

    if (digits.contains(QLatin1Char('+')))
        return digits;
    if (isNationalLength(country, length) && matchesNationalPattern(country, digits))
        return QLatin1Char('+') + country.pnum + digits;
    if (digits.startsWith(QLatin1Char('0')) && isNationalLength(country, length - 1)) {
        const QString national = digits.mid(1);
        if (matchesNationalPattern(country, national))
            return QLatin1Char('+') + country.pnum + national;
    }
    // Without a calling code every number would "start with" it.
    if (!country.pnum.isEmpty() && digits.startsWith(country.pnum)
        && isNationalLength(country, length - country.pnum.size()))
        return QLatin1Char('+') + digits;
    return digits;
}
