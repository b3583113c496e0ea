#include "operations/triggerstandins.h"

#include "platform/sqlite_qt/sqlite_qt.h"

#include <QSet>

namespace {

void returnZero(sqlite3_context *context, int, sqlite3_value **)
{
    sqlite3_result_int(context, 0);
}

bool isNameStart(QChar c)
{
    return c.isLetter() || c == QLatin1Char('_');
}

bool isNamePart(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('$');
}

// Every bare name that stands right before "(" in the text. Table and column names in
// "insert into t(a)" come along; a stand-in under such a name is never called.
QSet<QString> calledNames(const QString &sql)
{
    QSet<QString> names;
    const int size = sql.size();
    int i = 0;
    while (i < size) {
        const QChar c = sql.at(i);
        if (sql.midRef(i, 2) == QLatin1String("--")) {
            const int end = sql.indexOf(QLatin1Char('\n'), i);
            i = end < 0 ? size : end + 1;
            continue;
        }
        if (sql.midRef(i, 2) == QLatin1String("/*")) {
            const int end = sql.indexOf(QLatin1String("*/"), i + 2);
            i = end < 0 ? size : end + 2;
            continue;
        }
        if (c == QLatin1Char('\'') || c == QLatin1Char('"') || c == QLatin1Char('`')) {
            // Skip quoted text whole: what stands inside calls nothing.
            const int end = sql.indexOf(c, i + 1);
            i = end < 0 ? size : end + 1;
            continue;
        }
        if (!isNameStart(c) || (i > 0 && isNamePart(sql.at(i - 1)))) {
            ++i;
            continue;
        }
        int end = i + 1;
        while (end < size && isNamePart(sql.at(end)))
            ++end;
        int next = end;
        while (next < size && sql.at(next).isSpace())
            ++next;
        if (next < size && sql.at(next) == QLatin1Char('('))
            names.insert(sql.mid(i, end - i).toLower());
        i = end;
    }
    return names;
}

} // namespace

void registerTriggerStandIns(Sqlite3DB &db)
{
    QSet<QString> called;
    {
        Sqlite3Cursor c
            = db.queryThrow(Sqlite3Sql("select sql from sqlite_master where type='trigger'"));
        while (c.moveNext())
            called.unite(calledNames(c.getText(0)));
    }
    if (called.isEmpty())
        return;

    QSet<QString> known;
    {
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select name from pragma_function_list"));
        while (c.moveNext())
            known.insert(c.getText(0).toLower());
    }
    for (const QString &name : qAsConst(called)) {
        const QByteArray utf8 = name.toUtf8();
        if (known.contains(name) || sqlite3_keyword_check(utf8.constData(), utf8.size()))
            continue;
        const int rc = sqlite3_create_function_v2(db.handle(), utf8.constData(), -1, SQLITE_UTF8,
            nullptr, returnZero, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            throw Sqlite3Exception(QString::fromUtf8(sqlite3_errmsg(db.handle())), rc);
    }
}

void setTriggersEnabled(Sqlite3DB &db, bool enabled)
{
    int now = -1;
    const int rc
        = sqlite3_db_config(db.handle(), SQLITE_DBCONFIG_ENABLE_TRIGGER, enabled ? 1 : 0, &now);
    if (rc != SQLITE_OK || now != (enabled ? 1 : 0))
        throw Sqlite3Exception(QStringLiteral("can not switch the triggers of the file."), rc);
}
