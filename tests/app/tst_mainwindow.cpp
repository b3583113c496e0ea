#include "app/itemmodelmain.h"
#include "app/itemmodelsms.h"
#include "app/mainwindow.h"
#include "messages/ios6messagedb.h"
#include "records/msgidentity.h"
#include "shell/appconfig.h"
#include "shell/datafolder.h"
#include "shell/messagebox.h"
#include "shell/mytreeview.h"
#include "view/bubblepage.h"
#include "view/bubbleviewmgr.h"

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTranslator>
#include <QWebFrame>
#include <QWebPage>
#include <QWebView>
#include <QtTest>

namespace {

struct ChatSpec
{
    QString name; // the handle's contact name, or the display name of a group
    QStringList texts; // one message each, a minute apart
    qint32 firstDate = 1000;
};

struct Box
{
    QMessageBox::Icon icon;
    QString text;
};

// Writes a local-layout database into `folder` through the database class itself.
void buildDb(const QString &folder, const QList<ChatSpec> &chats)
{
    IOS6MessageDb db(QDir(folder), QString(), true);
    db.open();
    int number = 100;
    for (const ChatSpec &spec : chats) {
        const bool group = spec.name.startsWith(QLatin1String("Group"));
        _MsgHandle handle;
        handle.id = QStringLiteral("+1201555%1").arg(number++, 4, 10, QLatin1Char('0'));
        handle.contactName = group ? QString() : spec.name;
        const qint64 handleId = db.insertHandle(handle);
        _MsgHandle other;
        other.id = QStringLiteral("+1201555%1").arg(number++, 4, 10, QLatin1Char('0'));
        const qint64 otherId = group ? db.insertHandle(other) : 0;

        _MsgChat chat;
        chat.chat_identifier = group ? makeGroupChatIdentifier(spec.name) : handle.id;
        chat.guid
            = (group ? QStringLiteral("SMS;+;") : QStringLiteral("SMS;-;")) + chat.chat_identifier;
        chat.style = group ? 43 : 45;
        chat.display_name = group ? spec.name : QString();
        const qint64 chatId = db.insertChat(chat);
        db.addChatHandleJoin(chatId, handleId);
        if (group)
            db.addChatHandleJoin(chatId, otherId);

        qint32 date = spec.firstDate;
        for (const QString &text : spec.texts) {
            _MsgMessage message;
            message.guid = makeGuid();
            message.text = text;
            message.date = date;
            message.handle_id = handleId;
            const qint64 messageId = db.insertMessage(message, handleId, -1, message.logicHash());
            db.addChatMessageJoin(chatId, messageId);
            db.updateChatLast(chatId, date);
            date += 60;
        }
    }
}

QStringList numbered(const QString &prefix, int count)
{
    QStringList texts;
    for (int i = 0; i < count; ++i)
        texts << QStringLiteral("%1 %2").arg(prefix).arg(i);
    return texts;
}

QString localDbPath(const QString &name)
{
    return localDbFolder().filePath(name);
}

QString virtualDevicePath(const QString &name)
{
    return dataFolder().filePath(QStringLiteral("virtual_ios/") + name);
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void showsDatabasesAndDevicesUnderTheirRoots();
    void selectingLocalDatabaseLoadsChatsAndShowsAll();
    void choosingChatFillsListAndBubbleView();
    void choosingDeviceChatReadsOnlyThatChat();
    void hostileChatShowsAtOnce();
    void sortingOtherColumnKeepsDateAscending();
    void newestFirstBubblesKeepEveryDateLine();
    void newListStartsAtItsTop();
    void searchMessagesWrapsOnce_data();
    void searchMessagesWrapsOnce();
    void searchMessagesOnEmptyList();
    void searchContactWrapsWithinDatabase_data();
    void searchContactWrapsWithinDatabase();
    void chatNameIsCutAfter25Characters_data();
    void chatNameIsCutAfter25Characters();
    void localDatabaseWithoutChatsEmptiesView();
    void unreadableDatabasesShowTheirErrors();
    void queuedSelectionOfRemovedNodeIsDropped();

private:
    struct Window;
    static ItemModelMain *treeModel(MainWindow &window);
    static MyTreeView *tree(MainWindow &window);
    static MyTreeView *list(MainWindow &window);
    static QString labelText(MainWindow &window, const char *name);
    static QModelIndex childIndex(
        MainWindow &window, const QModelIndex &parent, const QString &name);
    void selectTreeNode(MainWindow &window, const QModelIndex &index);

    QTemporaryDir m_home;
    QTranslator m_translator;
    QList<Box> m_boxes;
};

void TestMainWindow::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
    QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
    QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&m_translator);
    AppConfig::setWebHost(QString()); // nothing leaves this machine
    setMessageBoxHook([this](QMessageBox &box) {
        m_boxes.append({ box.icon(), box.text() });
        return QMessageBox::Ok;
    });
}

void TestMainWindow::init()
{
    m_boxes.clear();
}

void TestMainWindow::cleanup()
{
    QDir data = dataFolder();
    QDir(data.filePath(QStringLiteral("local_databases"))).removeRecursively();
    QDir(data.filePath(QStringLiteral("virtual_ios"))).removeRecursively();
}

ItemModelMain *TestMainWindow::treeModel(MainWindow &window)
{
    return qobject_cast<ItemModelMain *>(tree(window)->model());
}

MyTreeView *TestMainWindow::tree(MainWindow &window)
{
    return window.findChild<MyTreeView *>(QStringLiteral("treeViewDS"));
}

MyTreeView *TestMainWindow::list(MainWindow &window)
{
    return window.findChild<MyTreeView *>(QStringLiteral("treeViewSMS"));
}

QString TestMainWindow::labelText(MainWindow &window, const char *name)
{
    return window.findChild<QLabel *>(QLatin1String(name))->text();
}

QModelIndex TestMainWindow::childIndex(
    MainWindow &window, const QModelIndex &parent, const QString &name)
{
    ItemModelMain *model = treeModel(window);
    for (int row = 0; row < model->rowCount(parent); ++row) {
        const QModelIndex index = model->index(row, 0, parent);
        if (index.data().toString() == name)
            return index;
    }
    return QModelIndex();
}

void TestMainWindow::selectTreeNode(MainWindow &window, const QModelIndex &index)
{
    QVERIFY(index.isValid());
    tree(window)->setCurrentIndex(index);
    QCoreApplication::processEvents(); // the queued expand
}

void TestMainWindow::showsDatabasesAndDevicesUnderTheirRoots()
{
    buildDb(localDbPath("b"), { { "Dave", { "hi" } } });
    buildDb(localDbPath("A"), { { "Alice", { "one" } }, { "Bob", { "two" } } });
    QDir().mkpath(localDbPath("a"));
    writeFile(localDbFolder().filePath("plain-file"), "not a folder");
    buildDb(virtualDevicePath("Phone"),
        { { "Erin", { "old" }, 1000 }, { "Group Trip", { "new" }, 5000 } });

    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Quillmarrow Threadkeeper"));
    QCOMPARE(labelText(window, "lbSMSCount"), QStringLiteral("Messages: 0"));
    QVERIFY(m_boxes.isEmpty());

    ItemModelMain *model = treeModel(window);
    QCOMPARE(model->rowCount(), 2);
    const QModelIndex devices = model->index(0, 0);
    const QModelIndex databases = model->index(1, 0);
    QCOMPARE(devices.data().toString(), QStringLiteral("Devices"));
    QCOMPARE(databases.data().toString(), QStringLiteral("Local Databases"));

    QCOMPARE(model->rowCount(devices), 1);
    const QModelIndex phone = model->index(0, 0, devices);
    QCOMPARE(phone.data().toString(), QStringLiteral("Phone"));
    QCOMPARE(AbsTreeItemModel::nodeOf(phone)->kind, int(IOSDeviceNode));
    QCOMPARE(model->rowCount(phone), 2);
    QCOMPARE(model->index(0, 0, phone).data().toString(), QStringLiteral("Group Trip"));
    QCOMPARE(model->index(1, 0, phone).data().toString(), QStringLiteral("Erin"));

    QStringList names;
    for (int row = 0; row < model->rowCount(databases); ++row) {
        const QModelIndex index = model->index(row, 0, databases);
        QCOMPARE(AbsTreeItemModel::nodeOf(index)->kind, int(LocalDBNode));
        QCOMPARE(model->rowCount(index), 0); // chats are read on first selection
        names << index.data().toString();
    }
    QCOMPARE(names, QStringList({ "A", "a", "b" }));
    QVERIFY(tree(window)->isExpanded(databases));
    QVERIFY(!tree(window)->currentIndex().isValid());

    // A device read at start has its chats; choosing one reads its messages.
    selectTreeNode(window, childIndex(window, phone, "Erin"));
    QCOMPARE(list(window)->model()->rowCount(), 1);
    QCOMPARE(labelText(window, "lbChatName"), QStringLiteral("Erin"));
    selectTreeNode(window, phone);
    QCOMPARE(list(window)->model()->rowCount(), 2);
    QCOMPARE(labelText(window, "lbChatName"), QStringLiteral("All"));
}

void TestMainWindow::selectingLocalDatabaseLoadsChatsAndShowsAll()
{
    buildDb(localDbPath("Home"),
        { { "Alice", numbered("alice", 3), 1000 }, { "Bob", numbered("bob", 2), 2000 } });
    MainWindow window;
    const QModelIndex databases = treeModel(window)->index(1, 0);
    const QModelIndex home = childIndex(window, databases, "Home");
    selectTreeNode(window, home);

    QCOMPARE(treeModel(window)->rowCount(home), 2);
    QCOMPARE(childIndex(window, home, "Bob").row(), 0); // newest first
    QVERIFY(tree(window)->isExpanded(home));
    QCOMPARE(list(window)->model()->rowCount(), 5);
    QCOMPARE(labelText(window, "lbSMSCount"), QStringLiteral("Messages: 5"));
    QCOMPARE(labelText(window, "lbChatName"), QStringLiteral("All"));
    QVERIFY(!window.currentChat());
    QCOMPARE(window.findChild<BubbleViewMgr *>()->pages(), 1);
    QVERIFY(m_boxes.isEmpty());
}

void TestMainWindow::choosingChatFillsListAndBubbleView()
{
    buildDb(localDbPath("Home"),
        { { "Alice", numbered("alice", 3), 1000 }, { "Bob", numbered("bob", 120), 100000 } });
    MainWindow window;
    const QModelIndex home = childIndex(window, treeModel(window)->index(1, 0), "Home");
    selectTreeNode(window, home);
    selectTreeNode(window, childIndex(window, home, "Bob"));

    auto *messages = qobject_cast<ItemModelSms *>(list(window)->model());
    QCOMPARE(messages->rowCount(), 120);
    for (int row = 0; row < 120; ++row)
        QCOMPARE(messages->messages().at(row)->text, QStringLiteral("bob %1").arg(row));
    QCOMPARE(labelText(window, "lbSMSCount"), QStringLiteral("Messages: 120"));
    QCOMPARE(labelText(window, "lbChatName"), QStringLiteral("Bob"));
    QVERIFY(window.currentChat());
    QCOMPARE(window.currentChat()->title(false), QStringLiteral("Bob"));

    BubbleViewMgr *bubbles = window.findChild<BubbleViewMgr *>();
    QCOMPARE(bubbles->pages(), 3);
    QCOMPARE(bubbles->currentPage(), 1);

    // A chosen row turns the conversation to its page.
    list(window)->setCurrentIndex(messages->indexOfRow(75));
    QCOMPARE(bubbles->currentPage(), 2);
    QCOMPARE(
        bubbles->currentAnchor(), QStringLiteral("sms_%1").arg(messages->messages().at(75)->rowid));
    QCOMPARE(window.selectedMessages(), MsgMessageList({ messages->messages().at(75) }));
    list(window)->setCurrentIndex(messages->indexOfRow(119));
    QCOMPARE(bubbles->currentPage(), 3);

    selectTreeNode(window, childIndex(window, home, "Alice"));
    QCOMPARE(messages->rowCount(), 3);
    QCOMPARE(bubbles->pages(), 1);
    QCOMPARE(labelText(window, "lbChatName"), QStringLiteral("Alice"));
}

void TestMainWindow::choosingDeviceChatReadsOnlyThatChat()
{
    buildDb(virtualDevicePath("Phone"),
        { { "Alice", numbered("alice", 3), 1000 }, { "Bob", numbered("bob", 40), 2000 },
            { "Carol", {}, 3000 } });
    MainWindow window;
    const QModelIndex phone = childIndex(window, treeModel(window)->index(0, 0), "Phone");
    QCOMPARE(treeModel(window)->rowCount(phone), 3);
    const auto *device = static_cast<_AbsDBItemNode *>(AbsTreeItemModel::nodeOf(phone));
    QVERIFY(device->messageSet->messageMap.isEmpty());

    // A chat without messages reads nothing else, however often it is chosen.
    for (int click = 0; click < 2; ++click) {
        selectTreeNode(window, childIndex(window, phone, "Carol"));
        QCOMPARE(list(window)->model()->rowCount(), 0);
        QCOMPARE(device->messageSet->messageMap.size(), 0);
    }
    for (int click = 0; click < 2; ++click) {
        selectTreeNode(window, childIndex(window, phone, "Alice"));
        QCOMPARE(list(window)->model()->rowCount(), 3);
        QCOMPARE(device->messageSet->messageMap.size(), 3);
    }
    selectTreeNode(window, childIndex(window, phone, "Bob"));
    QCOMPARE(list(window)->model()->rowCount(), 40);
    QCOMPARE(device->messageSet->messageMap.size(), 43);
    QVERIFY(m_boxes.isEmpty());
}

void TestMainWindow::hostileChatShowsAtOnce()
{
    const int megabytes10 = 10 * 1024 * 1024;
    buildDb(localDbPath("Home"),
        { { "Mallory",
            { QString(megabytes10, '\n'), QString::fromUcs4(U"\U0001F604").repeated(1000000),
                QString(megabytes10, 'w'), "and a plain one" } } });
    MainWindow window;
    window.resize(900, 600);
    window.show();
    auto *view = window.findChild<QWebView *>();
    QVERIFY(view);
    QSignalSpy loaded(view, &QWebView::loadFinished);
    const QModelIndex home = childIndex(window, treeModel(window)->index(1, 0), "Home");
    selectTreeNode(window, home);
    QTRY_COMPARE_WITH_TIMEOUT(loaded.count(), 1, 60000);

    selectTreeNode(window, childIndex(window, home, "Mallory"));
    QTRY_COMPARE_WITH_TIMEOUT(loaded.count(), 2, 60000);
    window.grab();
    QCOMPARE(list(window)->model()->rowCount(), 4);
    QVERIFY(view->page()->mainFrame()->toPlainText().contains("and a plain one"));
    // The page shows each message cut to a bubble's bounds, not its 10 MB.
    const int shownHtml = view->page()->mainFrame()->toHtml().size();
    QVERIFY2(shownHtml < 4 * 40 * BubbleLimits::Characters, qPrintable(QString::number(shownHtml)));
}

void TestMainWindow::sortingOtherColumnKeepsDateAscending()
{
    buildDb(localDbPath("Home"), { { "Bob", numbered("bob", 5) } });
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    selectTreeNode(window, childIndex(window, treeModel(window)->index(1, 0), "Home"));
    auto *messages = qobject_cast<ItemModelSms *>(list(window)->model());
    QHeaderView *header = list(window)->header();

    const auto texts = [messages] {
        QStringList result;
        for (const _MsgMessage *message : messages->messages())
            result << message->text;
        return result;
    };
    const QStringList ascending = numbered("bob", 5);
    QStringList descending = ascending;
    std::reverse(descending.begin(), descending.end());
    QCOMPARE(texts(), ascending);

    const auto clickSection = [header](int section) {
        const QPoint point(header->sectionViewportPosition(section) + 5, header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, point);
    };
    clickSection(0);
    QCOMPARE(header->sortIndicatorSection(), 0);
    QCOMPARE(header->sortIndicatorOrder(), Qt::DescendingOrder);
    QCOMPARE(texts(), descending);
    QCOMPARE(labelText(window, "lbSMSCount"), QStringLiteral("Messages: 5"));

    clickSection(2);
    QCOMPARE(header->sortIndicatorSection(), 0);
    QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
    QCOMPARE(texts(), ascending);
    QCOMPARE(labelText(window, "lbChatName"), QStringLiteral("All"));
}

void TestMainWindow::newestFirstBubblesKeepEveryDateLine()
{
    // A minute apart: a date line over every second message, oldest first.
    buildDb(localDbPath("Home"), { { "Bob", numbered("bob", 5) } });
    MainWindow window;
    auto *view = window.findChild<QWebView *>();
    QSignalSpy loaded(view, &QWebView::loadFinished);
    selectTreeNode(window, childIndex(window, treeModel(window)->index(1, 0), "Home"));
    QTRY_COMPARE_WITH_TIMEOUT(loaded.count(), 1, 10000);
    const auto dateLines = [view] {
        return view->page()->mainFrame()->toHtml().count(QLatin1String("class=\"dt\""));
    };
    QCOMPARE(dateLines(), 3);

    list(window)->header()->setSortIndicator(0, Qt::DescendingOrder);
    QTRY_COMPARE_WITH_TIMEOUT(loaded.count(), 2, 10000);
    QCOMPARE(qobject_cast<ItemModelSms *>(list(window)->model())->messages().first()->text,
        QStringLiteral("bob 4"));
    QCOMPARE(dateLines(), 3);
}

void TestMainWindow::newListStartsAtItsTop()
{
    buildDb(localDbPath("Home"),
        { { "Alice", numbered("alice", 150), 1000 }, { "Bob", numbered("bob", 200), 100000 } });
    MainWindow window;
    window.resize(900, 600);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QModelIndex home = childIndex(window, treeModel(window)->index(1, 0), "Home");
    selectTreeNode(window, home);
    selectTreeNode(window, childIndex(window, home, "Bob"));
    QScrollBar *scroll = list(window)->verticalScrollBar();
    QTRY_VERIFY(scroll->maximum() > 0);
    scroll->setValue(scroll->maximum());
    QVERIFY(scroll->value() > 0);

    // The bubbles start at the new list's first page; so does the list.
    selectTreeNode(window, childIndex(window, home, "Alice"));
    QCOMPARE(window.findChild<BubbleViewMgr *>()->currentPage(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(scroll->value(), 0);
    QCOMPARE(list(window)->indexAt(QPoint(1, 1)).row(), 0);
}

void TestMainWindow::searchMessagesWrapsOnce_data()
{
    QTest::addColumn<QList<int>>("matches");
    QTest::addColumn<int>("current");
    QTest::addColumn<QList<int>>("expected"); // current row after each search

    QTest::newRow("wraps to an earlier match") << QList<int> { 3, 7 } << 7 << QList<int> { 3, 7 };
    QTest::newRow("only the current row") << QList<int> { 7 } << 7 << QList<int> { 7, 7 };
    QTest::newRow("no current row") << QList<int> { 3, 7 } << -1 << QList<int> { 3, 7, 3 };
    QTest::newRow("current is the last row") << QList<int> { 0, 9 } << 9 << QList<int> { 0, 9 };
}

void TestMainWindow::searchMessagesWrapsOnce()
{
    QFETCH(QList<int>, matches);
    QFETCH(int, current);
    QFETCH(QList<int>, expected);

    QStringList texts = numbered("plain", 10);
    for (int row : matches)
        texts[row] = QStringLiteral("a NeedLe in row %1").arg(row);
    buildDb(localDbPath("Home"), { { "Bob", texts } });
    MainWindow window;
    selectTreeNode(window, childIndex(window, treeModel(window)->index(1, 0), "Home"));
    auto *messages = qobject_cast<ItemModelSms *>(list(window)->model());
    QCOMPARE(messages->rowCount(), 10);
    if (current >= 0)
        list(window)->setCurrentIndex(messages->indexOfRow(current));

    window.findChild<QLineEdit *>(QStringLiteral("txtSMSKeyword"))->setText("  needle ");
    for (int row : expected) {
        window.searchMessages();
        QCOMPARE(list(window)->currentIndex().row(), row);
        QCOMPARE(window.selectedMessages(), MsgMessageList({ messages->messages().at(row) }));
    }
    QVERIFY(m_boxes.isEmpty());

    window.findChild<QLineEdit *>(QStringLiteral("txtSMSKeyword"))->setText("haystack");
    window.searchMessages();
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes.first().text, QStringLiteral("Find no Message with keyword haystack."));
}

void TestMainWindow::searchMessagesOnEmptyList()
{
    MainWindow window;
    auto *keyword = window.findChild<QLineEdit *>(QStringLiteral("txtSMSKeyword"));
    keyword->setText("   ");
    window.searchMessages();
    QVERIFY(m_boxes.isEmpty()); // a blank keyword does nothing

    keyword->setText("anything");
    QTest::keyClick(keyword, Qt::Key_Return);
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes.first().text, QStringLiteral("Can't find any Message."));
}

void TestMainWindow::searchContactWrapsWithinDatabase_data()
{
    QTest::addColumn<QString>("current"); // "" the database node, "root" its root
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<QString>("expected"); // "" for no match, "-" for no search at all

    QTest::newRow("from the database") << ""
                                       << "smith"
                                       << "Ben Smith";
    QTest::newRow("after the current session") << "Ben Smith"
                                               << "smith"
                                               << "Anna Smith";
    QTest::newRow("wraps to the first session") << "Cleo Jones"
                                                << "SMITH"
                                                << "Ben Smith";
    QTest::newRow("current session comes last") << "Ben Smith"
                                                << "ben"
                                                << "Ben Smith";
    QTest::newRow("not found") << "Ben Smith"
                               << "zed"
                               << "";
    QTest::newRow("root node does nothing") << "root"
                                            << "smith"
                                            << "-";
}

void TestMainWindow::searchContactWrapsWithinDatabase()
{
    QFETCH(QString, current);
    QFETCH(QString, keyword);
    QFETCH(QString, expected);

    // Sessions newest first: Ben Smith, Anna Smith, Cleo Jones.
    buildDb(localDbPath("Home"),
        { { "Anna Smith", { "a" }, 2000 }, { "Ben Smith", { "b" }, 3000 },
            { "Cleo Jones", { "c" }, 1000 } });
    buildDb(localDbPath("Other"), { { "Dan Smith", { "d" } } });
    MainWindow window;
    const QModelIndex databases = treeModel(window)->index(1, 0);
    selectTreeNode(window, childIndex(window, databases, "Other"));
    const QModelIndex home = childIndex(window, databases, "Home");
    selectTreeNode(window, home);
    QCOMPARE(childIndex(window, home, "Ben Smith").row(), 0);
    QCOMPARE(childIndex(window, home, "Anna Smith").row(), 1);

    QModelIndex start = home;
    if (current == QLatin1String("root"))
        start = databases;
    else if (!current.isEmpty())
        start = childIndex(window, home, current);
    selectTreeNode(window, start);

    window.findChild<QLineEdit *>(QStringLiteral("txtHandleKeyword"))->setText(keyword);
    window.searchCotnact();
    if (expected == QLatin1String("-")) {
        QCOMPARE(tree(window)->currentIndex(), start);
        QVERIFY(m_boxes.isEmpty());
    } else if (expected.isEmpty()) {
        QCOMPARE(tree(window)->currentIndex(), start);
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(
            m_boxes.first().text, QStringLiteral("Find no contact with keyword %1.").arg(keyword));
    } else {
        QCOMPARE(tree(window)->currentIndex(), childIndex(window, home, expected));
        QCOMPARE(labelText(window, "lbChatName"), expected);
        QVERIFY(m_boxes.isEmpty());
    }
}

void TestMainWindow::chatNameIsCutAfter25Characters_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("shown");
    const QString name25 = QStringLiteral("Group ") + QString(19, QLatin1Char('x'));
    QTest::newRow("25 characters") << name25 << name25;
    QTest::newRow("26 characters") << name25 + "y" << name25 + "...";
    QTest::newRow("markup stays text") << "Group <b>bold</b>"
                                       << "Group <b>bold</b>";
}

void TestMainWindow::chatNameIsCutAfter25Characters()
{
    QFETCH(QString, title);
    QFETCH(QString, shown);
    buildDb(localDbPath("Home"), { { title, { "hello" } } });
    MainWindow window;
    const QModelIndex home = childIndex(window, treeModel(window)->index(1, 0), "Home");
    selectTreeNode(window, home);
    selectTreeNode(window, childIndex(window, home, title));
    auto *label = window.findChild<QLabel *>(QStringLiteral("lbChatName"));
    QCOMPARE(label->text(), shown);
    QCOMPARE(label->textFormat(), Qt::PlainText);
}

void TestMainWindow::localDatabaseWithoutChatsEmptiesView()
{
    buildDb(localDbPath("Full"), { { "Alice", { "one", "two" } } });
    QDir().mkpath(localDbPath("Empty"));
    MainWindow window;
    const QModelIndex databases = treeModel(window)->index(1, 0);
    selectTreeNode(window, childIndex(window, databases, "Full"));
    QCOMPARE(labelText(window, "lbSMSCount"), QStringLiteral("Messages: 2"));

    const QModelIndex empty = childIndex(window, databases, "Empty");
    selectTreeNode(window, empty);
    QCOMPARE(treeModel(window)->rowCount(empty), 0);
    QCOMPARE(list(window)->model()->rowCount(), 0);
    QCOMPARE(labelText(window, "lbSMSCount"), QStringLiteral("Messages: 0"));
    QCOMPARE(labelText(window, "lbChatName"), QString());
    QCOMPARE(window.findChild<BubbleViewMgr *>()->pages(), 0);
    QVERIFY(m_boxes.isEmpty());
}

void TestMainWindow::unreadableDatabasesShowTheirErrors()
{
    const QByteArray garbage = QByteArray("this is not a database at all").repeated(200);
    buildDb(localDbPath("Good"), { { "Alice", { "one", "two" } } });
    writeFile(IOS6MessageDb(QDir(localDbPath("Broken")), QString(), false).smsDbPath(), garbage);
    for (const char *name : { "One", "Two" })
        writeFile(
            IOS6MessageDb(QDir(virtualDevicePath(name)), QString(), false).smsDbPath(), garbage);

    // A device's chats are read at start, a local database's only when it is chosen.
    MainWindow window;
    QCOMPARE(m_boxes.size(), 2);
    for (const Box &box : qAsConst(m_boxes))
        QCOMPARE(box.icon, QMessageBox::Critical);
    const QModelIndex devices = treeModel(window)->index(0, 0);
    QCOMPARE(treeModel(window)->rowCount(devices), 2);
    QCOMPARE(treeModel(window)->rowCount(childIndex(window, devices, "One")), 0);
    QCOMPARE(treeModel(window)->rowCount(childIndex(window, devices, "Two")), 0);
    const QModelIndex databases = treeModel(window)->index(1, 0);
    QCOMPARE(treeModel(window)->rowCount(databases), 2);

    m_boxes.clear();
    selectTreeNode(window, childIndex(window, databases, "Good"));
    QCOMPARE(labelText(window, "lbSMSCount"), QStringLiteral("Messages: 2"));
    const QModelIndex broken = childIndex(window, databases, "Broken");
    selectTreeNode(window, broken);
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes.first().icon, QMessageBox::Critical);
    QVERIFY(!m_boxes.first().text.isEmpty());
    // The view keeps what it showed.
    QCOMPARE(labelText(window, "lbSMSCount"), QStringLiteral("Messages: 2"));
    QCOMPARE(list(window)->model()->rowCount(), 2);
    QCOMPARE(treeModel(window)->rowCount(broken), 0);
}

void TestMainWindow::queuedSelectionOfRemovedNodeIsDropped()
{
    buildDb(localDbPath("Home"), { { "Alice", { "a" }, 1000 }, { "Bob", { "b" }, 2000 } });
    MainWindow window;
    const QModelIndex home = childIndex(window, treeModel(window)->index(1, 0), "Home");
    selectTreeNode(window, home);
    const QModelIndex bob = childIndex(window, home, "Bob");

    window.selectNode(AbsTreeItemModel::nodeOf(bob));
    treeModel(window)->removeNode(AbsTreeItemModel::nodeOf(bob));
    QCoreApplication::processEvents();
    QCOMPARE(tree(window)->currentIndex(), home);
    QCOMPARE(labelText(window, "lbChatName"), QStringLiteral("All"));

    const QModelIndex alice = childIndex(window, home, "Alice");
    window.selectNode(AbsTreeItemModel::nodeOf(alice));
    QCOMPARE(tree(window)->currentIndex(), home); // not before the event loop runs
    QCoreApplication::processEvents();
    QCOMPARE(tree(window)->currentIndex(), alice);
    QCOMPARE(labelText(window, "lbChatName"), QStringLiteral("Alice"));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
