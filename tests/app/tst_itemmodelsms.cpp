#include "app/itemmodelsms.h"
#include "messages/ios6messagedb.h"
#include "platform/samplephones/currentphonesmsdb.h"
#include "records/msgidentity.h"
#include "shell/datafolder.h"
#include "view/bubblepage.h"

#include <QAbstractItemModelTester>
#include <QBrush>
#include <QPixmap>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

// Owns the records a test hands to the model.
struct Records
{
    std::vector<std::unique_ptr<_MsgMessage>> messages;
    std::vector<std::unique_ptr<_MsgChat>> chats;
    std::vector<std::unique_ptr<_MsgHandle>> handles;

    _MsgHandle *handle(const QString &id, const QString &name = QString())
    {
        handles.push_back(std::make_unique<_MsgHandle>());
        handles.back()->rowid = qint64(handles.size());
        handles.back()->id = id;
        handles.back()->contactName = name;
        return handles.back().get();
    }
    _MsgChat *chat(const QList<_MsgHandle *> &members, const QString &displayName = QString())
    {
        chats.push_back(std::make_unique<_MsgChat>());
        _MsgChat *c = chats.back().get();
        c->display_name = displayName;
        for (_MsgHandle *h : members)
            c->handles.insert(QString::number(h->rowid), h);
        return c;
    }
    _MsgMessage *message(qint64 rowid, qint32 date, int fromMe = 0,
        const QString &service = QStringLiteral("SMS"), _MsgChat *chat = nullptr,
        _MsgHandle *handle = nullptr)
    {
        messages.push_back(std::make_unique<_MsgMessage>());
        _MsgMessage *m = messages.back().get();
        m->rowid = m->srcRowid = rowid;
        m->date = date;
        m->is_from_me = fromMe;
        m->service = service;
        m->chat = chat;
        m->handle = handle;
        m->text = QStringLiteral("message %1").arg(rowid);
        return m;
    }
};

QImage iconImage(const QString &path)
{
    return QPixmap(path).scaledToWidth(18, Qt::SmoothTransformation).toImage();
}

} // namespace

class TestItemModelSms : public QObject
{
    Q_OBJECT

private slots:
    void headersAndShape();
    void directionIconAndBackground_data();
    void directionIconAndBackground();
    void contactAndFlagTexts();
    void deletedRecordsShowInRed();
    void indexOfRowOutsideListIsInvalid_data();
    void indexOfRowOutsideListIsInvalid();
    void sortsByDateOnly_data();
    void sortsByDateOnly();
    void sortKeepsPersistentIndexesOnTheirRecords();
    void setAndClearPassModelChecks();
    void currentPhoneChatShowsRealDatesAndWords();
    void longTextsAreCutInTheirCells_data();
    void longTextsAreCutInTheirCells();
};

void TestItemModelSms::headersAndShape()
{
    ItemModelSms model;
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.columnCount(), 4);
    const QStringList titles = { "Date", "Flag", "Contact", "Content" };
    for (int i = 0; i < titles.size(); ++i)
        QCOMPARE(model.headerData(i, Qt::Horizontal).toString(), titles.at(i));
    QVERIFY(!model.headerData(0, Qt::Horizontal, Qt::ToolTipRole).isValid());
    QVERIFY(!model.headerData(0, Qt::Vertical).isValid());
    QVERIFY(!model.headerData(4, Qt::Horizontal).isValid());
}

void TestItemModelSms::directionIconAndBackground_data()
{
    QTest::addColumn<QString>("service");
    QTest::addColumn<int>("fromMe");
    QTest::addColumn<QString>("icon");
    QTest::addColumn<QColor>("background");
    const QColor green(245, 255, 226), white(255, 255, 255);
    QTest::newRow("received iMessage") << "iMessage" << 0 << ":/res/imsg-rec.png" << white;
    QTest::newRow("sent iMessage, other case") << "IMESSAGE" << 1 << ":/res/imsg-send.png" << green;
    QTest::newRow("sent SMS") << "SMS" << 1 << ":/res/icon_sms-sent.png" << green;
    QTest::newRow("received SMS") << "SMS" << 0 << ":/res/icon_sms-receive.png" << white;
    QTest::newRow("unknown service") << "" << 0 << ":/res/icon_sms-receive.png" << white;
}

void TestItemModelSms::directionIconAndBackground()
{
    QFETCH(QString, service);
    QFETCH(int, fromMe);
    QFETCH(QString, icon);
    QFETCH(QColor, background);
    Records r;
    ItemModelSms model;
    model.setMessages({ r.message(1, 10, fromMe, service) });

    const QModelIndex date = model.index(0, 0);
    const QImage shown = date.data(Qt::DecorationRole).value<QPixmap>().toImage();
    QVERIFY(!iconImage(icon).isNull());
    QCOMPARE(shown, iconImage(icon));
    QCOMPARE(shown.width(), 18);
    QVERIFY(!model.index(0, 3).data(Qt::DecorationRole).isValid());
    for (int column = 0; column < 4; ++column) {
        QCOMPARE(
            model.index(0, column).data(Qt::BackgroundRole).value<QBrush>().color(), background);
        QCOMPARE(model.index(0, column).data(Qt::SizeHintRole).toSize(), QSize(0, 23));
    }
    QCOMPARE(model.index(0, 1).data().toString(), fromMe ? QString("To") : QString("From"));
}

void TestItemModelSms::contactAndFlagTexts()
{
    Records r;
    _MsgHandle *ann = r.handle("+12015550123", "Ann Lee");
    _MsgHandle *bob = r.handle("bob@example.com");
    _MsgChat *single = r.chat({ ann });
    _MsgChat *group = r.chat({ ann, bob }, "Team");
    _MsgMessage *plain = r.message(1, 10, 0, "SMS", single, ann);
    _MsgMessage *fromBob = r.message(2, 20, 0, "iMessage", group, bob);
    _MsgMessage *fromAnn = r.message(3, 30, 0, "iMessage", group, ann);
    _MsgMessage *mine = r.message(4, 40, 1, "iMessage", group);
    _MsgMessage *event = r.message(5, 50, 0, "iMessage", group, ann);
    event->item_type = 2;
    event->group_title = "Team";
    _MsgMessage *orphan = r.message(6, 60);
    _MsgMessage *orphanEvent = r.message(7, 70);
    orphanEvent->item_type = 3;

    ItemModelSms model;
    model.setMessages({ plain, fromBob, fromAnn, mine, event, orphan, orphanEvent });
    const auto text
        = [&model](int row, int column) { return model.index(row, column).data().toString(); };
    QCOMPARE(text(0, 2), QString("Ann Lee (+12015550123)"));
    QCOMPARE(text(1, 2), QString("Team (bob@example.com)"));
    QCOMPARE(text(2, 2), QString("Team (Ann Lee)"));
    QCOMPARE(text(3, 2), QString("Team"));
    QCOMPARE(text(4, 1), QString());
    QCOMPARE(text(4, 2), group->title(false));
    QCOMPARE(text(5, 2), QString("unknown"));
    QCOMPARE(text(6, 1), QString());
    QCOMPARE(text(6, 2), QString());
    QCOMPARE(text(0, 3), plain->displayText());
    QCOMPARE(text(4, 3), event->displayText());
    QCOMPARE(model.index(0, 3).data(Qt::ToolTipRole).toString(), plain->displayText());
    QCOMPARE(text(0, 0), QLocale::system().toString(dateTimeFromTime(10), QLocale::ShortFormat));
}

void TestItemModelSms::deletedRecordsShowInRed()
{
    Records r;
    _MsgMessage *kept = r.message(1, 10);
    _MsgMessage *recovered = r.message(2, 20);
    recovered->isDeleted = true;
    ItemModelSms model;
    model.setMessages({ kept, recovered });
    QVERIFY(!model.index(0, 3).data(Qt::ForegroundRole).isValid());
    QCOMPARE(model.index(1, 3).data(Qt::ForegroundRole).value<QBrush>().color(), QColor(255, 0, 0));
}

void TestItemModelSms::indexOfRowOutsideListIsInvalid_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("valid");
    QTest::newRow("-1") << -1 << false;
    QTest::newRow("first") << 0 << true;
    QTest::newRow("last") << 2 << true;
    QTest::newRow("size") << 3 << false;
}

void TestItemModelSms::indexOfRowOutsideListIsInvalid()
{
    QFETCH(int, row);
    QFETCH(bool, valid);
    Records r;
    ItemModelSms model;
    model.setMessages({ r.message(1, 10), r.message(2, 20), r.message(3, 30) });
    const QModelIndex index = model.indexOfRow(row);
    QCOMPARE(index.isValid(), valid);
    if (valid) {
        QCOMPARE(index.column(), 0);
        QCOMPARE(static_cast<_MsgMessage *>(index.internalPointer()), model.messages().at(row));
        QCOMPARE(model.messageAt(index), model.messages().at(row));
    }
}

void TestItemModelSms::sortsByDateOnly_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("order");
    QTest::addColumn<QList<qint64>>("rowids");
    // Rows 1 and 2 lie within two minutes, so they keep their storage order.
    QTest::newRow("date ascending") << 0 << int(Qt::AscendingOrder) << QList<qint64> { 4, 1, 2, 3 };
    QTest::newRow("date descending")
        << 0 << int(Qt::DescendingOrder) << QList<qint64> { 3, 2, 1, 4 };
    QTest::newRow("contact leaves the order")
        << 2 << int(Qt::AscendingOrder) << QList<qint64> { 3, 1, 4, 2 };
    QTest::newRow("content leaves the order")
        << 3 << int(Qt::DescendingOrder) << QList<qint64> { 3, 1, 4, 2 };
}

void TestItemModelSms::sortsByDateOnly()
{
    QFETCH(int, column);
    QFETCH(int, order);
    QFETCH(QList<qint64>, rowids);
    Records r;
    _MsgMessage *m1 = r.message(1, 1000);
    _MsgMessage *m2 = r.message(2, 990);
    _MsgMessage *m3 = r.message(3, 5000);
    _MsgMessage *m4 = r.message(4, 10);
    ItemModelSms model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setMessages({ m3, m1, m4, m2 });
    model.sort(column, Qt::SortOrder(order));
    QList<qint64> shown;
    for (const _MsgMessage *m : model.messages())
        shown.append(m->rowid);
    QCOMPARE(shown, rowids);
    if (column == 0) {
        MsgMessageList expected = { m3, m1, m4, m2 };
        sortMessages(expected, order == Qt::DescendingOrder);
        QCOMPARE(model.messages(), expected);
    }
}

void TestItemModelSms::sortKeepsPersistentIndexesOnTheirRecords()
{
    Records r;
    _MsgMessage *late = r.message(1, 9000);
    _MsgMessage *early = r.message(2, 10);
    _MsgMessage *middle = r.message(3, 5000);
    ItemModelSms model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    // The same record twice, as a list built from overlapping chats could hold it.
    model.setMessages({ late, early, middle, early });
    const QPersistentModelIndex onLate = model.index(0, 3);
    const QPersistentModelIndex onMiddle = model.index(2, 0);
    const QPersistentModelIndex onSecondEarly = model.index(3, 1);

    model.sort(0, Qt::AscendingOrder);
    QCOMPARE(model.messages(), MsgMessageList({ early, early, middle, late }));
    QCOMPARE(onLate.row(), 3);
    QCOMPARE(onLate.column(), 3);
    QCOMPARE(onMiddle.row(), 2);
    QCOMPARE(model.messageAt(onMiddle), middle);
    QCOMPARE(onSecondEarly.row(), 1);
    QCOMPARE(onSecondEarly.column(), 1);
}

void TestItemModelSms::setAndClearPassModelChecks()
{
    Records r;
    ItemModelSms model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setMessages({ r.message(1, 10), r.message(2, 20) });
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.rowCount(model.index(0, 0)), 0);
    QVERIFY(!model.parent(model.index(1, 2)).isValid());
    model.clear();
    QCOMPARE(model.rowCount(), 0);
    QVERIFY(!model.index(0, 0).isValid());
}

void TestItemModelSms::currentPhoneChatShowsRealDatesAndWords()
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QVERIFY(dataFolder().absolutePath().startsWith(home.path()));

    // 2019-06-01 12:00 UTC and a day before, stored in nanoseconds by the phone.
    const qint32 june = qint32(
        QDateTime(QDate(2019, 6, 1), QTime(12, 0), Qt::UTC).toSecsSinceEpoch() - RecordEpochOffset);
    QTemporaryDir device;
    qint64 chat = 0;
    {
        CurrentPhoneSmsDb phone(device.path());
        const qint64 ann = phone.addHandle("+12015550123");
        chat = phone.addChat("+12015550123", { ann });
        CurrentPhoneSmsDb::Message m;
        m.handle = ann;
        m.text = "second & last";
        m.textInBodyOnly = true;
        m.date = june;
        phone.addMessage(chat, m);
        m.text = "first";
        m.textInBodyOnly = false;
        m.date = june - 86400;
        phone.addMessage(chat, m);
    }
    IOS6MessageDb db(QDir(device.path()), "310", false);
    QSharedPointer<MsgMessageSet> set;
    db.messages(set, chat);

    ItemModelSms model;
    model.setMessages(messagesOfChats(set->chats()));
    model.sort(0, Qt::AscendingOrder);
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.index(0, 3).data().toString(), QStringLiteral("first"));
    QCOMPARE(model.index(1, 3).data().toString(), QStringLiteral("second & last"));
    const QDateTime shown = dateTimeFromTime(june);
    QCOMPARE(shown.toUTC(), QDateTime(QDate(2019, 6, 1), QTime(12, 0), Qt::UTC));
    QCOMPARE(model.index(1, 0).data().toString(),
        QLocale::system().toString(shown, QLocale::ShortFormat));

    const QString page = bubblePageHtml(model.messages(), 1, 1);
    QVERIFY(page.contains(QLatin1String("second &amp; last")));
    QVERIFY(page.contains(QLatin1String("01 Jun 2019 12:0 PM")));
    QVERIFY(page.indexOf(QLatin1String(">first<")) < page.indexOf(QLatin1String("second &amp;")));
}

void TestItemModelSms::longTextsAreCutInTheirCells_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("contactName");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("start");

    const QString words = QStringLiteral("word ").repeated(2000000);
    QTest::newRow("10 MB of words") << words << "Ann" << 3 << "word word";
    QTest::newRow("a million emoji")
        << QString::fromUcs4(U"\U0001F604").repeated(1000000) << "Ann" << 3 << "[EMOJI][EMOJI]";
    QTest::newRow("a hostile contact name") << "hi" << words << 2 << "word word";
}

void TestItemModelSms::longTextsAreCutInTheirCells()
{
    QFETCH(QString, text);
    QFETCH(QString, contactName);
    QFETCH(int, column);
    QFETCH(QString, start);

    Records r;
    _MsgHandle *ann = r.handle("+12015550123", contactName);
    _MsgMessage *m = r.message(1, 1000, 0, "SMS", r.chat({ ann }), ann);
    m->text = text;
    ItemModelSms model;
    model.setMessages({ m });
    for (int role : { int(Qt::DisplayRole), int(Qt::ToolTipRole) }) {
        const QString shown = model.index(0, column).data(role).toString();
        QVERIFY(shown.startsWith(start));
        QVERIFY2(shown.size() <= 301, qPrintable(QString::number(shown.size())));
        QVERIFY(shown.endsWith(QChar(0x2026)));
    }
    // The record itself keeps every word.
    QCOMPARE(m->text.size(), text.size());
}

QTEST_MAIN(TestItemModelSms)
#include "tst_itemmodelsms.moc"
