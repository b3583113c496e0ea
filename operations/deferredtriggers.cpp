#include "operations/deferredtriggers.h"

#include "operations/rowcopier.h"
#include "platform/sqlite_qt/sqlite_qt.h"

#include <QRegularExpression>

namespace {

void execThrow(Sqlite3DB &db, const QString &sql)
{
    QString error;
    if (!db.exec(sql, error))
        throw Sqlite3Exception(error);
}

// Deleting what a condition on the tables selects leaves the same rows whether it runs
// after every deleted row or once after all of them; anything else (a counter, an insert
// into a log) would not.
bool onlyDeletes(const QString &body)
{
    static const QRegularExpression deleteStatement(
        QStringLiteral("^\\s*DELETE\\s+FROM\\b"), QRegularExpression::CaseInsensitiveOption);
    bool any = false;
    for (const QString &statement : body.split(QLatin1Char(';'))) {
        if (statement.trimmed().isEmpty())
            continue;
        if (!deleteStatement.match(statement).hasMatch())
            return false;
        any = true;
    }
    return any;
}

} // namespace

void DeferredTriggers::defer(Sqlite3DB &db, const QStringList &tables)
{
    static const QRegularExpression shape(
        QStringLiteral("^\\s*CREATE\\s+TRIGGER\\s+.*?\\bAFTER\\s+DELETE\\s+ON\\s+\\S+\\s+"
                       "(?:FOR\\s+EACH\\s+ROW\\s+)?BEGIN\\b(.*)\\bEND\\s*;?\\s*$"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression rowReference(
        QStringLiteral("\\b(?:old|new)\\s*\\."), QRegularExpression::CaseInsensitiveOption);

    QList<Trigger> found;
    {
        Sqlite3Cursor c = db.queryThrow(
            Sqlite3Sql("select name, tbl_name, sql from sqlite_master where type='trigger'"));
        while (c.moveNext()) {
            if (!tables.contains(c.getText(1), Qt::CaseInsensitive))
                continue;
            const QString sql = c.getText(2);
            const QRegularExpressionMatch m = shape.match(sql);
            if (!m.hasMatch() || m.captured(1).contains(rowReference)
                || !onlyDeletes(m.captured(1)))
                continue;
            found.append({ c.getText(0), sql, m.captured(1) });
        }
    }
    for (const Trigger &t : qAsConst(found)) {
        execThrow(db, QStringLiteral("DROP TRIGGER %1").arg(quotedIdentifier(t.name)));
        deferred.append(t);
    }
}

void DeferredTriggers::restore(Sqlite3DB &db)
{
    while (!deferred.isEmpty()) {
        const Trigger t = deferred.takeFirst();
        execThrow(db, t.body);
        execThrow(db, t.createSql);
    }
}

QStringList DeferredTriggers::names() const
{
    QStringList list;
    for (const Trigger &t : deferred)
        list.append(t.name);
    return list;
}
