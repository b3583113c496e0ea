#include "operations/exportmessagescsv.h"

#include "records/msgidentity.h"

ExportMessagesCsv::ExportMessagesCsv(const QString &path)
    : file(path)
{
}

void ExportMessagesCsv::begin()
{
    file.open();
    file.stream() << "date,send,person,number,content\r\n";
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
    QTextStream &out = file.stream();
    out << times.at(m.date).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) << ','
        << (m.is_from_me != 0 ? '1' : '0') << ',' << csvQuote(person) << ',' << csvQuote(number)
        << ',' << csvQuote(m.displayText()) << "\r\n";
    file.checkWritten();
}

void ExportMessagesCsv::end()
{
    file.commit();
}
