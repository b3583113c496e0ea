#include "operations/exportmessagescsv.h"

#include "records/msgidentity.h"

#include <cstdio>

namespace {

// "yyyy-MM-dd hh:mm:ss", written without the calendar's general formatter, which took a
// tenth of the writer's time.
QString csvDate(const QDateTime &time)
{
    const QDate day = time.date();
    const QTime clock = time.time();
    if (day.year() < 1000 || day.year() > 9999)
        return time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", day.year(),
        day.month(), day.day(), clock.hour(), clock.minute(), clock.second());
    return QString::fromLatin1(text, length);
}

} // namespace

ExportMessagesCsv::ExportMessagesCsv(const QString &path)
    : file(path)
{
}

void ExportMessagesCsv::begin()
{
    file.open();
    file << QLatin1String("date,send,person,number,content\r\n");
}

void ExportMessagesCsv::write(_MsgMessage *message)
{
    const _MsgMessage &m = *message;
    QString person;
    QString number;
    if (m.chat && m.chat->isGroup()) {
        person = m.chat->chat_identifier;
        number = person;
    } else if (m.chat && !m.chat->handles.isEmpty() && m.chat->handles.first()) {
        person = m.chat->handles.first()->contactName;
        number = m.chat->handles.first()->id;
    }
    file << csvDate(times.at(m.date)) << ',' << (m.is_from_me != 0 ? '1' : '0') << ','
         << csvQuote(person) << ',' << csvQuote(number) << ',' << csvQuote(m.displayText())
         << QLatin1String("\r\n");
}

void ExportMessagesCsv::end()
{
    file.commit();
}
