#include "operations/exportmessagestxt.h"

#include "records/msgidentity.h"

#include <QLocale>

ExportMessagesTxt::ExportMessagesTxt(const QString &path)
    : file(path)
    , locale(QLocale::system())
    , dayFormat(locale.dateFormat(QLocale::ShortFormat))
    , timeFormat(locale.timeFormat(QLocale::ShortFormat))
{
}

QString ExportMessagesTxt::dateText(const QDateTime &when)
{
    // The system locale's short date-time is its short date, a blank and its short time: the
    // day is formatted once for all its messages. A time that names its zone is formatted
    // whole.
    if (timeFormat.contains(QLatin1Char('t')))
        return locale.toString(when, locale.dateTimeFormat(QLocale::ShortFormat));
    const QDate date = when.date();
    if (date != day) {
        day = date;
        dayText = locale.toString(date, dayFormat) + QLatin1Char(' ');
    }
    return dayText + locale.toString(when.time(), timeFormat);
}

void ExportMessagesTxt::begin()
{
    file.open();
    writeLine(QStringLiteral("Date"), QStringLiteral("Flag"), QStringLiteral("Name"),
        QStringLiteral("Message"));
}

void ExportMessagesTxt::write(_MsgMessage *message)
{
    const _MsgMessage &m = *message;
    QString flag;
    if (m.item_type == 0)
        flag = m.is_from_me != 0 ? QStringLiteral("To") : QStringLiteral("From");
    QString text = m.displayText();
    text.remove(QLatin1Char('\r'));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    writeLine(dateText(times.at(m.date)), flag,
        m.chat ? m.chat->title(false) : QStringLiteral("Unknown"), text);
}

void ExportMessagesTxt::end()
{
    file.commit();
}

void ExportMessagesTxt::writeLine(
    const QString &date, const QString &flag, const QString &name, const QString &message)
{
    file.writePadded(date, 30);
    file.writePadded(flag, 6);
    file.writePadded(name, 40);
    file << message << QLatin1String("\r\n");
}
