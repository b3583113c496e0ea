#include "windowharness.h"

#include "messages/ios6messagedb.h"
#include "records/msgidentity.h"
#include "shell/progressform.h"
#include "support/messagesetbuilder.h"
#include "support/messagesetdump.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <atomic>

using namespace windowtest;

namespace {

ProgressForm *visibleProgressForm()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *form = qobject_cast<ProgressForm *>(widget); form && form->isVisible())
            return form;
    }
    return nullptr;
}

// The set a database gives when all of it is read at once.
QSharedPointer<MsgMessageSet> readAtOnce(AbsMessageDb &db)
{
    QSharedPointer<MsgMessageSet> set;
    MsgMessageSet::create(set);
    db.chats(set);
    db.messages(set, 0);
    return set;
}

} // namespace

// Choosing a device or local database reads it off the window's thread: the same records as
// a read on the window's thread, and a long read under a progress dialog that can cancel it.
class TestMainWindowLoading : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void readsWhatAReadAtOnceGives_data();
    void readsWhatAReadAtOnceGives();
    void cancelledReadShowsNothingAndReadsAgain_data();
    void cancelledReadShowsNothingAndReadsAgain();

private:
    _AbsDBItemNode *dbNode(const QStringList &path);

    QTemporaryDir m_home;
    std::unique_ptr<MainWindow> m_window;
    std::atomic<bool> m_gateOpen { true };
};

void TestMainWindowLoading::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(useHome(m_home));
    QTemporaryDir files;
    MessageSetBuilder builder(files.path());
    const MsgMessageList sample = buildSampleChats(builder);
    writeLocalDb(QStringLiteral("Base"), sample);
    writeLocalDb(QStringLiteral("Other"), sample);
    writeVirtualPhone(QStringLiteral("Phone"), sample);
    m_window.reset(new MainWindow);
}

void TestMainWindowLoading::cleanup()
{
    // A read left waiting would hold the window's end.
    m_gateOpen = true;
    list(*m_window)->header()->setSortIndicator(0, Qt::AscendingOrder);
}

_AbsDBItemNode *TestMainWindowLoading::dbNode(const QStringList &path)
{
    return static_cast<_AbsDBItemNode *>(AbsTreeItemModel::nodeOf(nodeIndex(*m_window, path)));
}

void TestMainWindowLoading::readsWhatAReadAtOnceGives_data()
{
    QTest::addColumn<QStringList>("path");
    QTest::addColumn<bool>("descending");
    QTest::newRow("local database") << QStringList { "Local Databases", "Base" } << false;
    QTest::newRow("phone") << QStringList { "Devices", "Phone" } << false;
    QTest::newRow("phone, newest first") << QStringList { "Devices", "Phone" } << true;
}

void TestMainWindowLoading::readsWhatAReadAtOnceGives()
{
    QFETCH(QStringList, path);
    QFETCH(bool, descending);
    list(*m_window)->header()->setSortIndicator(
        0, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
    QVERIFY(choose(*m_window, path));
    _AbsDBItemNode *node = dbNode(path);
    QVERIFY(node->opener);

    const auto *db = dynamic_cast<IOS6MessageDb *>(node->db.data());
    QVERIFY(db);
    IOS6MessageDb again(db->dataFolder(), QString(), true);
    const QSharedPointer<MsgMessageSet> expected = readAtOnce(again);
    QCOMPARE(messageSetLines(*node->messageSet), messageSetLines(*expected));
    MsgMessageList sorted = expected->messages();
    sortMessages(sorted, descending);
    QStringList texts;
    for (const _MsgMessage *m : qAsConst(sorted))
        texts << m->text;
    QCOMPARE(shownTexts(*m_window), texts);
    QCOMPARE(node->children.size(), regroupChats(*expected).size());
    // Every message is read: a chat shows without another read.
    QVERIFY(choose(*m_window, path + QStringList { node->children.first()->name }));
    QVERIFY(!shownTexts(*m_window).isEmpty());
}

void TestMainWindowLoading::cancelledReadShowsNothingAndReadsAgain_data()
{
    QTest::addColumn<QStringList>("path");
    QTest::newRow("local database read for the first time")
        << QStringList { "Local Databases", "Other" };
    QTest::newRow("phone with its chats") << QStringList { "Devices", "Phone" };
}

void TestMainWindowLoading::cancelledReadShowsNothingAndReadsAgain()
{
    QFETCH(QStringList, path);
    QVERIFY(choose(*m_window, { "Local Databases", "Base" }));
    QVERIFY(listModel(*m_window)->rowCount() > 0);
    _AbsDBItemNode *node = dbNode(path);
    const QStringList sessions = childNames(*m_window, path);
    const QSharedPointer<MsgMessageSet> before = node->messageSet;

    // A read that lasts until the test lets it go.
    const DbOpener real = node->opener;
    m_gateOpen = false;
    node->opener = [this, real] {
        while (!m_gateOpen)
            QThread::msleep(5);
        return real();
    };
    int ticks = 0;
    bool cancelled = false;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        ++ticks;
        if (ProgressForm *form = visibleProgressForm(); form && !cancelled) {
            cancelled = true;
            form->cancel();
        }
    });
    watch.start(10);
    QVERIFY(choose(*m_window, path));
    watch.stop();
    QVERIFY(cancelled);
    QVERIFY2(ticks >= 20, qPrintable(QString::number(ticks))); // the window ran meanwhile

    settle();
    QVERIFY(listModel(*m_window)->messages().isEmpty());
    QCOMPARE(m_window->findChild<QLabel *>("lbSMSCount")->text(), QStringLiteral("Messages: 0"));
    QVERIFY(!tree(*m_window)->currentIndex().isValid());
    QCOMPARE(node->messageSet, before);
    QCOMPARE(childNames(*m_window, path), sessions);

    // The cancelled read ends later and changes nothing.
    m_gateOpen = true;
    QTest::qWait(200);
    QVERIFY(listModel(*m_window)->messages().isEmpty());
    QCOMPARE(node->messageSet, before);

    node->opener = real;
    QVERIFY(choose(*m_window, path));
    QCOMPARE(listModel(*m_window)->rowCount(), node->messageSet->messages().size());
    QVERIFY(listModel(*m_window)->rowCount() > 0);
}

QTEST_MAIN(TestMainWindowLoading)
#include "tst_mainwindow_loading.moc"
