#include "records/countrylibdb.h"

#include "platform/durablefile/durablefile.h"
#include "platform/durablefile/targetlock.h"
#include "shell/datafolder.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>

#include <atomic>
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

std::atomic<int> lockWaitMs { 5000 };

// The built-in table's bytes, read once; empty when the program lacks it.
const QByteArray &builtInTable()
{
    static const QByteArray bytes = [] {
        QFile file(QStringLiteral(":res/countries.db"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    return bytes;
}

// The copy is the program's own: any other content, damaged or sound, gives wrong numbers.
// The table is small enough to compare whole at every open.
bool holdsTable(const QString &path, const QByteArray &table)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.size() == table.size() && file.readAll() == table;
}

// Why the lock was not taken in time: the live holder's claim, or the claim that could not be
// made and the system's reason.
QString lockNotTaken(TargetLock::State state, const TargetLock &lock)
{
    if (state == TargetLock::Busy)
        return QStringLiteral("Another window is writing it and holds %1.").arg(lock.error());
    return lock.error();
}

} // namespace

CountryLibDb::CountryLibDb(const QString &mcc)
    : m_mcc(mcc)
{
}

CountryLibDb::~CountryLibDb() = default;

void CountryLibDb::setLockWait(int milliseconds)
{
    lockWaitMs = milliseconds;
}

void CountryLibDb::open()
{
    if (isOpen())
        return;
    const QByteArray &table = builtInTable();
    if (table.isEmpty())
        throw std::runtime_error("can not find :res/countries.db.");
    const QString path = dataFolder().filePath(QStringLiteral("countries.db"));
    if (!holdsTable(path, table)) {
        // One window replaces the copy at a time; one that waited finds it replaced.
        TargetLock lock;
        const TargetLock::State state = lock.lock(path, lockWaitMs);
        if (state != TargetLock::Held)
            throw std::runtime_error(QStringLiteral("can not create %1. %2")
                                         .arg(path, lockNotTaken(state, lock))
                                         .toStdString());
        if (!holdsTable(path, table)) {
            // Renamed over whatever is there, complete and synced: a window still reading
            // the old file keeps it, and a power loss leaves the old file or the new one.
            QString error;
            if (!durable::copyFile(QStringLiteral(":res/countries.db"), path, &error))
                throw std::runtime_error(
                    QStringLiteral("can not create %1. %2").arg(path, error).toStdString());
        }
    }
    // Read-only: nothing may make the copy differ from the table it was compared with.
    openThrow(path, 1);
    m_current = countryByMcc(m_mcc);
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
