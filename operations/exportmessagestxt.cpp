#include "operations/exportmessagestxt.h"

#include "records/msgidentity.h"

#include <QLocale>

ExportMessagesTxt::ExportMessagesTxt(const QString &path)
    : file(path)
{
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
    writeLine(QLocale::system().toString(times.at(m.date), QLocale::ShortFormat), flag,
        m.chat ? m.chat->title(false) : QStringLiteral("Unknown"), text);
    file.checkWritten();
}

void ExportMessagesTxt::end()
{
    file.commit();
}

void ExportMessagesTxt::writeLine(
    const QString &date, const QString &flag, const QString &name, const QString &message)
{
    file.stream() << date.leftJustified(30) << flag.leftJustified(6) << name.leftJustified(40)
                  << message << "\r\n";
}
