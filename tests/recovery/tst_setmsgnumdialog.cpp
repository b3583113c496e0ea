#include "recovery/messagerecycledb.h"
#include "recovery/setmsgnumdialog.h"
#include "shell/messagebox.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

namespace {

_MsgHandle handle(qint64 rowid, const QString &id, const QString &name = QString(),
    const QString &service = QStringLiteral("SMS"))
{
    _MsgHandle h;
    h.rowid = rowid;
    h.id = id;
    h.contactName = name;
    h.service = service;
    return h;
}

_MsgMessage message(const QString &guid, qint32 date)
{
    _MsgMessage m;
    m.guid = guid;
    m.date = date;
    m.text = QStringLiteral("lost %1").arg(date);
    m.service = QStringLiteral("SMS");
    return m;
}

QStringList rows(const QListWidget *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out.append(list->item(i)->text());
    return out;
}

} // namespace

class TestSetMsgNumDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void listsStoredHandlesFirstInRed();
    void filters_data();
    void filters();
    void choosingARowFillsTheNumber();
    void acceptWritesTheNormalisedNumber();
    void blankNumberIsRefused();
    void answeringNoWritesNothing();
    void failedWriteRollsBack();
    void unreadableStoreShowsGivenHandles();

private:
    std::unique_ptr<SetMsgNumDialog> dialog(const QList<_MsgMessage *> &messages);
    QString numberOf(const QString &guid);

    QTemporaryDir m_home;
    QTranslator m_translator;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<MessageRecycleDb> m_store;
    _CountryInfo m_us;
    QList<_MsgHandle> m_given;
    QList<_MsgHandle *> m_givenPointers;
    QList<_MsgMessage> m_messages;
    QStringList m_boxes;
    QMessageBox::StandardButton m_answer = QMessageBox::Yes;
};

void TestSetMsgNumDialog::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
    QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&m_translator);
    CountryLibDb countries(QStringLiteral("310"));
    m_us = countries.currentCountry();
    QCOMPARE(m_us.sn, QStringLiteral("US"));
    setMessageBoxHook([this](QMessageBox &box) {
        m_boxes.append(box.text());
        return m_answer;
    });
}

void TestSetMsgNumDialog::init()
{
    m_boxes.clear();
    m_answer = QMessageBox::Yes;
    m_dir = std::make_unique<QTemporaryDir>();
    m_store = std::make_unique<MessageRecycleDb>(m_dir->filePath(QStringLiteral("recycle.db")));
    m_store->insertHandle(handle(0, QStringLiteral("+15550003333")), 3);
    m_store->insertHandle(handle(0, QStringLiteral("+15550001111")), 1);
    m_messages = { message(QStringLiteral("AAAAAAAA-0000-0000-0000-000000000001"), 100),
        message(QStringLiteral("AAAAAAAA-0000-0000-0000-000000000002"), 200) };
    for (const _MsgMessage &m : qAsConst(m_messages))
        m_store->insertMessage(m, QString(), QString(), 0);
    m_given = { handle(9, QStringLiteral("+15550009999"), QStringLiteral("Zed")),
        handle(5, QStringLiteral("+15550002222"), QStringLiteral("Bob"), QString()),
        handle(-2047483646, QStringLiteral("bob@example.com"), QString(),
            QStringLiteral("iMessage")),
        handle(-2047483647, QStringLiteral("unknown0")) };
    m_givenPointers.clear();
    for (_MsgHandle &h : m_given)
        m_givenPointers.append(&h);
}

void TestSetMsgNumDialog::cleanup()
{
    m_store.reset();
}

std::unique_ptr<SetMsgNumDialog> TestSetMsgNumDialog::dialog(const QList<_MsgMessage *> &messages)
{
    return std::make_unique<SetMsgNumDialog>(messages, m_givenPointers, m_store.get(), m_us);
}

QString TestSetMsgNumDialog::numberOf(const QString &guid)
{
    Sqlite3Cursor c = m_store->queryThrow(
        Sqlite3Sql("select chat_identifier, handle from message where guid=?").addTextParam(guid));
    if (!c.moveNext())
        return QStringLiteral("missing");
    const QString chat = c.getText(0);
    return chat == c.getText(1) ? chat : QStringLiteral("differs");
}

void TestSetMsgNumDialog::listsStoredHandlesFirstInRed()
{
    const auto d = dialog({});
    const auto *list = d->findChild<QListWidget *>(QStringLiteral("ltHandle"));
    QVERIFY(list);
    QCOMPARE(rows(list),
        QStringList({ "+15550001111 - SMS", "+15550003333 - SMS", "Bob (+15550002222)",
            "Zed (+15550009999) - SMS", "bob@example.com - iMessage" }));
    QCOMPARE(list->item(0)->foreground().color(), QColor(255, 0, 0));
    QCOMPARE(list->item(1)->foreground().color(), QColor(255, 0, 0));
    QVERIFY(list->item(2)->foreground().color() != QColor(255, 0, 0));
    QCOMPARE(list->item(2)->data(Qt::UserRole).value<HandleItem>().handle.rowid, qint64(5));
    QCOMPARE(d->findChild<QLabel *>(QStringLiteral("lbTitle"))->text(),
        QStringLiteral("Set Contact Info for Message"));
    QCOMPARE(d->size(), QSize(434, 290));
}

void TestSetMsgNumDialog::filters_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("shown");
    QTest::newRow("part of a number") << "0001" << 1;
    QTest::newRow("part of a name, any case") << "BO" << 2;
    QTest::newRow("common digits") << "555000" << 4;
    QTest::newRow("nothing matches") << "xyz" << 0;
    QTest::newRow("cleared") << "" << 5;
}

void TestSetMsgNumDialog::filters()
{
    QFETCH(QString, typed);
    QFETCH(int, shown);
    const auto d = dialog({});
    auto *line = d->findChild<QLineEdit *>(QStringLiteral("txtNumber"));
    line->setText(QStringLiteral("9"));
    line->setText(typed);
    QCOMPARE(d->findChild<QListWidget *>(QStringLiteral("ltHandle"))->count(), shown);
}

void TestSetMsgNumDialog::choosingARowFillsTheNumber()
{
    const auto d = dialog({});
    auto *list = d->findChild<QListWidget *>(QStringLiteral("ltHandle"));
    list->setCurrentRow(3);
    QCOMPARE(d->findChild<QLineEdit *>(QStringLiteral("txtNumber"))->text(),
        QStringLiteral("+15550009999"));
    QCOMPARE(rows(list), QStringList { "Zed (+15550009999) - SMS" });
}

void TestSetMsgNumDialog::acceptWritesTheNormalisedNumber()
{
    _MsgMessage notStored = message(QStringLiteral("BBBBBBBB-0000-0000-0000-000000000009"), 999);
    const auto d = dialog({ &m_messages[0], &notStored, &m_messages[1] });
    d->findChild<QLineEdit *>(QStringLiteral("txtNumber"))->setText(
        QStringLiteral("  (415) 555-2671 "));
    d->accept();
    QCOMPARE(m_boxes,
        QStringList { "Confirm to set phone number as +14155552671 for the message?" });
    QCOMPARE(d->result(), int(QDialog::Accepted));
    QCOMPARE(numberOf(m_messages[0].guid), QStringLiteral("+14155552671"));
    QCOMPARE(numberOf(m_messages[1].guid), QStringLiteral("+14155552671"));
    QCOMPARE(numberOf(notStored.guid), QStringLiteral("missing"));
    QVERIFY(!m_store->inTransaction);
}

void TestSetMsgNumDialog::blankNumberIsRefused()
{
    const auto d = dialog({ &m_messages[0] });
    d->findChild<QLineEdit *>(QStringLiteral("txtNumber"))->setText(QStringLiteral("   "));
    d->accept();
    QCOMPARE(m_boxes, QStringList { "Phone number is required." });
    QCOMPARE(d->result(), int(QDialog::Rejected));
    QCOMPARE(numberOf(m_messages[0].guid), QString());
}

void TestSetMsgNumDialog::answeringNoWritesNothing()
{
    m_answer = QMessageBox::No;
    const auto d = dialog({ &m_messages[0] });
    d->findChild<QLineEdit *>(QStringLiteral("txtNumber"))->setText(QStringLiteral("+4420"));
    d->accept();
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(d->result(), int(QDialog::Rejected));
    QCOMPARE(numberOf(m_messages[0].guid), QString());
}

void TestSetMsgNumDialog::failedWriteRollsBack()
{
    QString error;
    QVERIFY(m_store->exec(QStringLiteral("CREATE TRIGGER refuse BEFORE UPDATE ON message WHEN "
                                         "old.date = 200 BEGIN SELECT RAISE(ABORT, 'refused "
                                         "here'); END;"),
        error));
    const auto d = dialog({ &m_messages[0], &m_messages[1] });
    d->findChild<QLineEdit *>(QStringLiteral("txtNumber"))->setText(QStringLiteral("+4420"));
    d->accept();
    QCOMPARE(m_boxes.size(), 2);
    QVERIFY(m_boxes.last().contains(QStringLiteral("refused here")));
    QCOMPARE(d->result(), int(QDialog::Rejected));
    QCOMPARE(numberOf(m_messages[0].guid), QString());
    QVERIFY(!m_store->inTransaction);
}

void TestSetMsgNumDialog::unreadableStoreShowsGivenHandles()
{
    const QString path = m_dir->filePath(QStringLiteral("broken.db"));
    QFile junk(path);
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray(4096, 'j'));
    junk.close();
    MessageRecycleDb broken(path);
    SetMsgNumDialog d({}, m_givenPointers, &broken, m_us);
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(d.findChild<QListWidget *>(QStringLiteral("ltHandle"))->count(), 3);
}

QTEST_MAIN(TestSetMsgNumDialog)
#include "tst_setmsgnumdialog.moc"
