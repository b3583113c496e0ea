#include "platform/samplephones/samplephones.h"

#include "platform/durablefile/durablefile.h"
#include "platform/samplephones/addressbookfixture.h"
#include "platform/samplephones/currentphonesmsdb.h"
#include "platform/samplephones/ios6smsdbfixture.h"
#include "platform/samplephones/simulateddevicefolder.h"
#include "platform/sqlite_qt/sqlite_qt.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace samplephones {

namespace {

constexpr qint64 appleEpoch = 978307200; // 2001-01-01 in Unix seconds
constexpr int spanDays = 120;
constexpr int messagesPerPhone = 320;
constexpr int picturesPerPhone = 9;
const QChar attachmentMark(0xFFFC);

struct Person
{
    QString first;
    QString last;
    QString number; // as the phone's messages name it, "+1AAA55501NN"
    bool photo = false;

    QString fullName() const { return first + QLatin1Char(' ') + last; }
    // As the address book keeps it, "(AAA) 555-01NN".
    QString bookNumber() const
    {
        return QStringLiteral("(%1) %2-%3").arg(number.mid(2, 3), number.mid(5, 3), number.mid(8));
    }
};

struct Chat
{
    QList<int> members; // indexes into the people
    QString service;
    QString displayName;
    bool isGroup() const { return members.size() > 1; }
};

struct Message
{
    int chat = 0;
    int sender = -1; // a person's index; -1 for the phone's owner
    qint32 date = 0; // seconds since 2001
    QString text;
    int picture = -1;
    bool card = false;
    bool bodyOnly = false;
};

struct Phone
{
    PhoneSummary summary;
    bool current = false; // the layout of a current phone, read through a backup
    QString udid;
    QString productType;
    quint32 seed = 0;
    QList<Person> people;
    Person cardPerson; // sent as a contact card, not in the address book
    QList<Chat> chats;
    QList<Message> messages;
};

const char *const givenNames[] = { "Ada", "Bruno", "Clara", "Desmond", "Elif", "Farah", "Gideon",
    "Hana", "Ingrid", "Joaquin", "Kirra", "Lucan", "Maren", "Nils", "Odile", "Priya" };
const char *const surnameStarts[] = { "Al", "Bram", "Cor", "Dal", "Est", "Fen", "Gar", "Hol",
    "Lark", "Mor", "Pell", "Brin", "Ros", "Tarr", "Wyn" };
const char *const surnameEnds[]
    = { "by", "den", "field", "gate", "holm", "more", "sted", "ton", "ward", "wick" };
const char *const areaCodes[] = { "202", "312", "415", "503", "617", "718", "919" };

const char *const openers[] = { "Hey! Are you free on Saturday?", "Morning \U0001F60A",
    "Did you get home ok?", "Quick question about the trip", "Look what I found \U0001F4F7",
    "Happy birthday!! \U0001F389\U0001F382", "Are we still on for dinner?",
    "The train is late again \U0001F643", "Can you call me when you have a minute?",
    "Thanks for yesterday, it was lovely", "Pizza tonight? \U0001F355",
    "It's pouring here \U0001F327", "Who's bringing the speaker? \U0001F3B6",
    "Walk in the park later? \U0001F333", "Hi \U0001F44B long time!" };
const char *const replies[] = { "Yes, sounds good \U0001F44D", "Sure, what time?",
    "Haha \U0001F602", "I'll be there around 7", "Not sure yet, I'll let you know", "Perfect!",
    "On my way \U0001F6B2", "Oh no \U0001F605", "Good idea", "See you soon!", "ok",
    "Wait, really? \U0001F62E", "I can bring dessert", "Running 10 minutes late, sorry",
    "That works for me \U0001F642", "Let's do Sunday instead", "Just got your message",
    "Can't wait!", "Haha yes", "Tell me everything later" };

template <typename T, int N> QString pick(QRandomGenerator &dice, const T (&items)[N])
{
    return QString::fromUtf8(items[dice.bounded(N)]);
}

QList<Person> makePeople(QRandomGenerator &dice, int count, int numberOffset)
{
    QList<int> given;
    for (int i = 0; i < int(std::size(givenNames)); ++i)
        given << i;
    QList<Person> people;
    QStringList surnames;
    for (int i = 0; i < count; ++i) {
        Person person;
        person.first = QString::fromUtf8(givenNames[given.takeAt(dice.bounded(given.size()))]);
        do {
            person.last = pick(dice, surnameStarts) + pick(dice, surnameEnds);
        } while (surnames.contains(person.last));
        surnames << person.last;
        person.number = QStringLiteral("+1") + pick(dice, areaCodes) + QStringLiteral("555")
            + QStringLiteral("%1").arg(
                100 + (numberOffset + i * 13) % 100, 4, 10, QLatin1Char('0'));
        person.photo = i % 3 == 0;
        people << person;
    }
    return people;
}

void makeMessages(Phone &phone, QRandomGenerator &dice, const QDateTime &start)
{
    static const int weights[] = { 6, 4, 3, 2, 2, 5 }; // per chat, the group last
    int weightSum = 0;
    for (int w : weights)
        weightSum += w;
    const qint32 first = qint32(start.toSecsSinceEpoch() - appleEpoch);
    const int bursts = messagesPerPhone * 2 / 9; // about 4.5 messages each
    const qint32 gap = qint32(spanDays) * 86400 / bursts;
    qint32 time = first;
    int pictures = 0;
    while (phone.messages.size() < messagesPerPhone) {
        int roll = dice.bounded(weightSum);
        int chat = 0;
        while (roll >= weights[chat])
            roll -= weights[chat++];
        const Chat &c = phone.chats.at(chat);
        bool fromMe = dice.bounded(2) == 0;
        const int length = 2 + dice.bounded(6);
        for (int k = 0; k < length && phone.messages.size() < messagesPerPhone; ++k) {
            Message m;
            m.chat = chat;
            m.sender = fromMe ? -1 : c.members.at(dice.bounded(c.members.size()));
            m.date = time;
            m.text = k == 0 ? pick(dice, openers) : pick(dice, replies);
            if (chat == 0 && phone.messages.size() >= messagesPerPhone / 2
                && !std::any_of(phone.messages.cbegin(), phone.messages.cend(),
                    [](const Message &earlier) { return earlier.card; })) {
                m.text = attachmentMark;
                m.card = true;
            } else if (pictures < picturesPerPhone && dice.bounded(14) == 0) {
                m.text = attachmentMark;
                m.picture = pictures++;
            }
            m.bodyOnly = phone.current && m.text != attachmentMark && dice.bounded(3) == 0;
            phone.messages << m;
            time += 20 + dice.bounded(400);
            if (dice.bounded(3) != 0)
                fromMe = !fromMe;
        }
        time += gap / 2 + dice.bounded(gap);
    }
}

Phone makePhone(bool current)
{
    Phone phone;
    phone.current = current;
    phone.seed = current ? 2024 : 2014;
    QRandomGenerator dice(phone.seed);
    PhoneSummary &s = phone.summary;
    s.folder
        = current ? QStringLiteral("sample-iphone-ios17") : QStringLiteral("sample-iphone-ios7");
    s.name = current ? QStringLiteral("Sample iPhone 15") : QStringLiteral("Sample iPhone 5s");
    s.productVersion = current ? QStringLiteral("17.4.1") : QStringLiteral("7.1.2");
    phone.productType = current ? QStringLiteral("iPhone15,4") : QStringLiteral("iPhone6,1");
    phone.udid = QString::fromLatin1(
        QCryptographicHash::hash(s.folder.toUtf8(), QCryptographicHash::Sha1).toHex());

    phone.people = makePeople(dice, 7, current ? 40 : 0);
    const QList<Person> outsider = makePeople(dice, 1, current ? 99 : 59);
    phone.cardPerson = outsider.first();
    for (int i = 0; i < 5; ++i) {
        const bool sms = current ? i == 3 : i % 2 == 0;
        phone.chats << Chat { { i }, sms ? QStringLiteral("SMS") : QStringLiteral("iMessage"),
            QString() };
    }
    phone.chats << Chat { { 1, 5, 6 }, QStringLiteral("iMessage"),
        current ? QStringLiteral("Weekend plans") : QString() };
    makeMessages(phone, dice,
        current ? QDateTime(QDate(2024, 3, 4), QTime(8, 30), Qt::UTC)
                : QDateTime(QDate(2014, 2, 3), QTime(8, 30), Qt::UTC));

    for (const Person &person : qAsConst(phone.people))
        s.contacts << person.fullName();
    s.chats = phone.chats.size();
    s.messages = phone.messages.size();
    s.bodyOnlyTexts = int(std::count_if(phone.messages.cbegin(), phone.messages.cend(),
        [](const Message &m) { return m.bodyOnly; }));
    return phone;
}

QList<Phone> allPhones()
{
    return { makePhone(false), makePhone(true) };
}

QByteArray jpeg(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "JPG", 85))
        throw std::runtime_error("cannot encode a picture as JPEG");
    return bytes;
}

// A landscape of sky, sun and hills in colours of its own.
QByteArray picture(quint32 seed)
{
    QRandomGenerator dice(seed);
    QImage image(640, 480, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const int hue = dice.bounded(360);
    QLinearGradient sky(0, 0, 0, image.height());
    sky.setColorAt(0, QColor::fromHsv(hue, 120, 250));
    sky.setColorAt(1, QColor::fromHsv((hue + 40) % 360, 60, 255));
    painter.fillRect(image.rect(), sky);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor::fromHsv((hue + 180) % 360, 140, 255));
    const int sun = 50 + dice.bounded(40);
    painter.drawEllipse(QPoint(80 + dice.bounded(480), 60 + dice.bounded(120)), sun, sun);
    for (int layer = 0; layer < 3; ++layer) {
        QPolygon hill;
        hill << QPoint(0, image.height());
        for (int x = 0; x <= image.width(); x += 80)
            hill << QPoint(x, 220 + layer * 70 + dice.bounded(90));
        hill << QPoint(image.width(), image.height());
        painter.setBrush(QColor::fromHsv((hue + 90 + layer * 20) % 360, 150, 200 - layer * 50));
        painter.drawPolygon(hill);
    }
    painter.end();
    return jpeg(image);
}

// A small round portrait: a head and shoulders on a coloured ground.
QByteArray portrait(int index)
{
    QImage image(96, 96, QImage::Format_RGB32);
    const int hue = (index * 47) % 360;
    image.fill(QColor::fromHsv(hue, 90, 235));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor::fromHsv(hue, 160, 150));
    painter.drawEllipse(QPoint(48, 38), 20, 20);
    painter.drawEllipse(QPoint(48, 100), 38, 34);
    painter.end();
    return jpeg(image);
}

QByteArray vCard(const Person &person)
{
    return QStringLiteral("BEGIN:VCARD\r\nVERSION:3.0\r\nN:%1;%2;;;\r\nFN:%2 %1\r\n"
                          "TEL;type=CELL;type=VOICE;type=pref:%3\r\nEND:VCARD\r\n")
        .arg(person.last, person.first, person.bookNumber())
        .toUtf8();
}

QString attachmentName(const Phone &phone, const Message &m)
{
    if (m.card)
        return phone.cardPerson.fullName() + QStringLiteral(".vcf");
    return QStringLiteral("IMG_%1.JPG").arg(1200 + m.picture * 7, 4, 10, QLatin1Char('0'));
}

QByteArray attachmentContent(const Phone &phone, const Message &m)
{
    return m.card ? vCard(phone.cardPerson) : picture(phone.seed + quint32(m.picture));
}

QString attachmentMime(const Message &m)
{
    return m.card ? QStringLiteral("text/vcard") : QStringLiteral("image/jpeg");
}

QString groupIdentifier(const Phone &phone)
{
    return QStringLiteral("chat%1").arg(phone.seed * 104729u);
}

// A handle for each person and service, as a phone keeps them.
template <typename AddHandle>
QHash<QString, qint64> addHandles(const Phone &phone, AddHandle addHandle)
{
    QHash<QString, qint64> handles;
    for (const Chat &chat : phone.chats) {
        for (int member : chat.members) {
            const QString key = chat.service + phone.people.at(member).number;
            if (!handles.contains(key))
                handles.insert(key, addHandle(phone.people.at(member).number, chat.service));
        }
    }
    return handles;
}

qint64 senderHandle(const Phone &phone, const QHash<QString, qint64> &handles, const Message &m)
{
    const Chat &chat = phone.chats.at(m.chat);
    // A group's own messages name no handle; a one-to-one chat's name the other side.
    if (m.sender < 0 && chat.isGroup())
        return 0;
    const int person = m.sender < 0 ? chat.members.first() : m.sender;
    return handles.value(chat.service + phone.people.at(person).number);
}

// The iOS 6 layout, as a phone of iOS 7 keeps it: dates in seconds.
void writeFileRelayEraDb(const Phone &phone, const QString &dataFolder)
{
    IOS6SmsDbFixture db(dataFolder, IOS6SmsDbFixture::Ios6);
    db.db().beginTran();
    const QHash<QString, qint64> handles = addHandles(phone,
        [&db](const QString &id, const QString &service) { return db.addHandle(id, service); });
    QList<qint64> chatRows;
    for (const Chat &chat : phone.chats) {
        const QString identifier = chat.isGroup() ? groupIdentifier(phone)
                                                  : phone.people.at(chat.members.first()).number;
        const QString guid = chat.service
            + (chat.isGroup() ? QLatin1String(";+;") : QLatin1String(";-;")) + identifier;
        const qint64 row = db.addChat(guid, identifier, chat.service, chat.isGroup() ? 43 : 45);
        for (int member : chat.members)
            db.joinChatHandle(row, handles.value(chat.service + phone.people.at(member).number));
        chatRows << row;
    }
    int number = 0;
    for (const Message &m : phone.messages) {
        IOS6SmsDbFixture::Message row;
        row.guid = QStringLiteral("5A3B1E07-0000-4000-8000-%1").arg(++number, 12, 10, QChar('0'));
        row.text = m.text;
        row.handle = senderHandle(phone, handles, m);
        row.date = m.date;
        row.isFromMe = m.sender < 0 ? 1 : 0;
        row.service = phone.chats.at(m.chat).service;
        const qint64 message = db.addMessage(row);
        db.joinChatMessage(chatRows.at(m.chat), message);
        if (m.text != attachmentMark)
            continue;
        const QString relative = QStringLiteral("Library/SMS/Attachments/%1/%2/%3/%4")
                                     .arg(number % 256, 2, 16, QLatin1Char('0'))
                                     .arg(number % 16, 2, 10, QLatin1Char('0'))
                                     .arg(row.guid, attachmentName(phone, m));
        const qint64 attachment
            = db.addAttachment(row.guid, QStringLiteral("~/") + relative, attachmentMime(m));
        db.joinMessageAttachment(message, attachment);
        db.writeFile(QStringLiteral("var/mobile/") + relative, attachmentContent(phone, m));
    }
    db.db().commitTran();
    db.close();
}

// The layout of a current phone: dates in nanoseconds, some words only in attributedBody.
void writeCurrentDb(const Phone &phone, const QString &dataFolder)
{
    CurrentPhoneSmsDb db(dataFolder);
    db.db().beginTran();
    const QHash<QString, qint64> handles = addHandles(phone,
        [&db](const QString &id, const QString &service) { return db.addHandle(id, service); });
    QList<qint64> chatRows;
    for (const Chat &chat : phone.chats) {
        QList<qint64> members;
        for (int member : chat.members)
            members << handles.value(chat.service + phone.people.at(member).number);
        const QString identifier = chat.isGroup() ? groupIdentifier(phone)
                                                  : phone.people.at(chat.members.first()).number;
        chatRows << db.addChat(identifier, members, chat.service, chat.displayName);
    }
    for (const Message &m : phone.messages) {
        CurrentPhoneSmsDb::Message row;
        row.text = m.text;
        row.textInBodyOnly = m.bodyOnly;
        row.handle = senderHandle(phone, handles, m);
        row.date = m.date;
        row.fromMe = m.sender < 0;
        row.service = phone.chats.at(m.chat).service;
        const qint64 message = db.addMessage(chatRows.at(m.chat), row);
        if (m.text == attachmentMark)
            db.addAttachment(message, attachmentName(phone, m), attachmentMime(m),
                attachmentContent(phone, m), m.date);
    }
    db.db().commitTran();
    db.close();
}

void writeAddressBook(const Phone &phone, const QString &dataFolder)
{
    AddressBookFixture book(dataFolder);
    for (int i = 0; i < phone.people.size(); ++i) {
        const Person &person = phone.people.at(i);
        book.addPerson(i + 1, person.first, QString(), person.last, { person.bookNumber() },
            person.photo ? portrait(i) : QByteArray());
    }
    book.write();
}

void writePhone(const Phone &phone, const QString &folder, const QString &scratch)
{
    SimulatedDeviceFolder device(folder);
    device.setIdentity(phone.udid, phone.summary.name, phone.summary.productVersion,
        phone.productType, QStringLiteral("310"));
    device.setBackupReady(qlonglong(64) << 30, qlonglong(41) << 30);
    if (phone.current)
        writeCurrentDb(phone, scratch);
    else
        writeFileRelayEraDb(phone, scratch);
    writeAddressBook(phone, scratch);
    if (!device.moveIntoFileSystem(
            QDir(scratch).filePath(QStringLiteral("file-relay/var")), QStringLiteral("var"))
        || !device.write())
        throw std::runtime_error(
            QStringLiteral("cannot write the phone in %1").arg(folder).toStdString());
}

} // namespace

QList<PhoneSummary> phones()
{
    QList<PhoneSummary> summaries;
    for (const Phone &phone : allPhones())
        summaries << phone.summary;
    return summaries;
}

bool holdsPhones(const QString &devicesFolder)
{
    return !QDir(devicesFolder)
                .entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)
                .isEmpty();
}

void write(const QString &devicesFolder)
{
    if (holdsPhones(devicesFolder))
        throw std::runtime_error(QStringLiteral("%1 already holds phones.")
                                     .arg(QDir::toNativeSeparators(devicesFolder))
                                     .toStdString());
    if (!QDir().mkpath(devicesFolder))
        throw std::runtime_error(
            QStringLiteral("cannot create %1.").arg(devicesFolder).toStdString());
    QTemporaryDir staging(QDir(devicesFolder).filePath(QStringLiteral(".sample-phones-XXXXXX")));
    if (!staging.isValid())
        throw std::runtime_error(staging.errorString().toStdString());
    const QList<Phone> all = allPhones();
    for (const Phone &phone : all) {
        writePhone(phone, staging.filePath(phone.summary.folder),
            staging.filePath(phone.summary.folder + QStringLiteral(".build")));
    }
    for (const Phone &phone : all) {
        const QString target = QDir(devicesFolder).filePath(phone.summary.folder);
        QString error;
        if (!durable::renameOver(staging.filePath(phone.summary.folder), target, &error))
            throw std::runtime_error(
                QStringLiteral("cannot move a phone to %1: %2").arg(target, error).toStdString());
    }
}

} // namespace samplephones
