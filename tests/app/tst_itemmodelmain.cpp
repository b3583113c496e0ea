#include "app/itemmodelmain.h"
#include "messages/ios6messagedb.h"
#include "platform/samplephones/ios6smsdbfixture.h"
#include "shell/datafolder.h"

#include <QAbstractItemModelTester>
#include <QBuffer>
#include <QImage>
#include <QPixmap>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

#include <memory>

namespace {

// A device database with one number reached by SMS and iMessage (two chats, one
// identifier), a group chat and a chat without handles.
struct DeviceDb
{
    qint64 sms = 0, imessage = 0, group = 0, lonely = 0;
};

DeviceDb buildDeviceDb(const QString &folder, qint32 base)
{
    DeviceDb d;
    IOS6SmsDbFixture f(folder);
    const qint64 ann = f.addHandle("+12015550123", "SMS");
    const qint64 annIm = f.addHandle("+12015550123", "iMessage");
    const qint64 bob = f.addHandle("bob@example.com", "iMessage");
    d.sms = f.addChat("SMS;-;+12015550123", "+12015550123");
    f.joinChatHandle(d.sms, ann);
    d.imessage = f.addChat("iMessage;-;+12015550123", "+12015550123", "iMessage");
    f.joinChatHandle(d.imessage, annIm);
    d.group = f.addChat(
        "iMessage;+;chat111111111111111111", "chat111111111111111111", "iMessage", 43, "Team");
    f.joinChatHandle(d.group, annIm);
    f.joinChatHandle(d.group, bob);
    d.lonely = f.addChat("SMS;-;+12025550199", "+12025550199");

    const auto add = [&f](qint64 chat, qint64 handle, qint32 date, const QString &service) {
        IOS6SmsDbFixture::Message m;
        m.guid = QStringLiteral("M-%1").arg(date);
        m.text = QStringLiteral("text %1").arg(date);
        m.handle = handle;
        m.date = date;
        m.service = service;
        f.joinChatMessage(chat, f.addMessage(m));
    };
    add(d.sms, ann, base + 100, "SMS");
    add(d.imessage, annIm, base + 500, "iMessage"); // makes Ann's session the newest
    add(d.group, bob, base + 300, "iMessage");
    add(d.lonely, 0, base + 200, "SMS");
    return d;
}

QByteArray encodedImage(const char *format, const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QImage iconImage(const QString &path)
{
    return QPixmap(path).scaledToWidth(18, Qt::SmoothTransformation).toImage();
}

QImage decorationImage(const QModelIndex &index)
{
    return index.data(Qt::DecorationRole).value<QPixmap>().toImage();
}

// Records for sessions built without a database; the set owns them.
_MsgChat *addChat(MsgMessageSet &set, qint64 rowid, const QString &identifier, qint32 last)
{
    auto *chat = new _MsgChat;
    chat->rowid = rowid;
    chat->chat_identifier = identifier;
    chat->guid = QStringLiteral("SMS;-;") + identifier;
    chat->last = last;
    set.chatMap.insert(rowid, chat);
    return chat;
}

_MsgHandle *addHandle(MsgMessageSet &set, _MsgChat *chat, qint64 rowid, const QByteArray &photo)
{
    auto *handle = new _MsgHandle;
    handle->rowid = rowid;
    handle->id = QStringLiteral("+1202555%1").arg(rowid, 4, 10, QLatin1Char('0'));
    handle->photo = photo;
    set.handleMap.insert(rowid, handle);
    chat->handles.insert(QString::number(rowid), handle);
    return handle;
}

} // namespace

class TestItemModelMain : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void freshModelHasTwoRoots();
    void addsAndRemovesDeviceAndDatabaseNodes();
    void chatsOfOneIdentifierShareASession();
    void sessionDecoration_data();
    void sessionDecoration();
    void nodeDecorationFollowsKind_data();
    void nodeDecorationFollowsKind();
    void recoveredChatsShowInRed_data();
    void recoveredChatsShowInRed();
    void removingNodeKeepsOtherRowsAndPersistentIndexes();
    void removeChildrenWithoutChildrenIsSilent();
    void additionsAreAnnouncedAsInsertedRows();
    void indexOfNodeFollowsRemovalOfEarlierSibling();
    void refreshedSessionsReplaceTheOldOnes();
    void workerReferencesOutliveRemovedNode();
    void nodeChangedStaysUnderOneParent();

private:
    QTemporaryDir m_home;
    QTranslator m_translator;
};

void TestItemModelMain::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
    QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
    QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&m_translator);
}

void TestItemModelMain::freshModelHasTwoRoots()
{
    ItemModelMain model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.columnCount(), 1);
    QCOMPARE(model.index(0, 0).data().toString(), QString("Devices"));
    QCOMPARE(model.index(1, 0).data().toString(), QString("Local Databases"));
    QCOMPARE(model.index(0, 0).data(Qt::ToolTipRole).toString(), QString("Devices"));
    QCOMPARE(model.index(1, 0).data(Qt::SizeHintRole).toSize(), QSize(0, 25));
    QVERIFY(!model.headerData(0, Qt::Horizontal).isValid());
    QCOMPARE(AbsTreeItemModel::nodeOf(model.index(0, 0)), model.rootDevice());
    QCOMPARE(AbsTreeItemModel::nodeOf(model.index(1, 0)), model.rootLocalDb());
    QVERIFY(!model.index(2, 0).isValid());
    QVERIFY(!model.index(0, 1).isValid());
}

void TestItemModelMain::addsAndRemovesDeviceAndDatabaseNodes()
{
    QTemporaryDir deviceDir, localDir;
    buildDeviceDb(deviceDir.path(), 0);
    buildDeviceDb(localDir.path(), 1000);

    ItemModelMain model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);

    IOSDevice device;
    device.name = QStringLiteral("Ann's iPhone");
    device.udid = QStringLiteral("0123456789abcdef");
    device.productVersion = QStringLiteral("7.1.2");
    auto deviceNode = model.addDevice(
        QSharedPointer<AbsMessageDb>(new IOS6MessageDb(QDir(deviceDir.path()), "310", false)),
        device);
    auto localNode = model.addLocalDb(
        QSharedPointer<AbsMessageDb>(new IOS6MessageDb(QDir(localDir.path()), "", false)),
        QStringLiteral("Backup 1"));
    QCOMPARE(deviceNode->kind, int(IOSDeviceNode));
    QCOMPARE(deviceNode->name, device.name);
    QCOMPARE(deviceNode->device.udid, device.udid);
    QCOMPARE(deviceNode->parent, model.rootDevice());
    QCOMPARE(localNode->kind, int(LocalDBNode));
    QCOMPARE(model.rowCount(model.indexOfNode(model.rootDevice())), 1);
    QCOMPARE(model.indexOfNode(localNode).data().toString(), QString("Backup 1"));
    QCOMPARE(model.rootDevice()->countChildrenOfKind(IOSDeviceNode), 1);

    deviceNode->db->chats(deviceNode->messageSet);
    model.refreshChatSessions(deviceNode);
    localNode->db->chats(localNode->messageSet);
    model.refreshChatSessions(localNode);
    localNode->db->messages(localNode->messageSet, 0);
    QCOMPARE(model.rowCount(model.indexOfNode(deviceNode)), 3);
    QCOMPARE(model.rowCount(model.indexOfNode(localNode)), 3);

    const QList<AbsTreeItemModel::_ItemNode *> all = model.allNodes();
    QCOMPARE(all.size(), 2 + 2 + 6);
    QCOMPARE(all.at(0), model.rootDevice());
    QCOMPARE(all.at(1), deviceNode);
    QCOMPARE(all.at(2)->parent, deviceNode);
    QCOMPARE(all.at(5), model.rootLocalDb());

    // A second device arrives and the first goes away.
    QTemporaryDir otherDir;
    buildDeviceDb(otherDir.path(), 2000);
    device.name = QStringLiteral("Bob's iPhone");
    auto otherNode = model.addDevice(
        QSharedPointer<AbsMessageDb>(new IOS6MessageDb(QDir(otherDir.path()), "310", false)),
        device);
    otherNode->db->chats(otherNode->messageSet);
    model.refreshChatSessions(otherNode);
    model.removeNode(deviceNode);
    QCOMPARE(model.rowCount(model.indexOfNode(model.rootDevice())), 1);
    QCOMPARE(model.indexOfNode(otherNode).row(), 0);
    QCOMPARE(model.rowCount(model.indexOfNode(otherNode)), 3);

    model.removeChildren(localNode);
    QCOMPARE(model.rowCount(model.indexOfNode(localNode)), 0);
    model.removeNode(localNode);
    model.removeNode(otherNode);
    QCOMPARE(model.allNodes().size(), 2);
}

void TestItemModelMain::chatsOfOneIdentifierShareASession()
{
    QTemporaryDir dir;
    const DeviceDb d = buildDeviceDb(dir.path(), 0);
    ItemModelMain model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    auto node = model.addLocalDb(
        QSharedPointer<AbsMessageDb>(new IOS6MessageDb(QDir(dir.path()), "", false)), "db");
    node->db->chats(node->messageSet);
    model.refreshChatSessions(node);

    QCOMPARE(node->children.size(), 3);
    // Newest first: Ann (500 through iMessage), the group (300), the chat without handles (200).
    auto first = static_cast<_ChatSessionItemNode *>(node->children.at(0));
    QCOMPARE(first->kind, int(ChatSessionNode));
    QCOMPARE(first->chats.size(), 2);
    QCOMPARE(first->last, 500);
    QCOMPARE(first->name, first->chats.first()->title(false));
    QVERIFY(first->chats.contains(node->messageSet->chatMap.value(d.sms)));
    QVERIFY(first->chats.contains(node->messageSet->chatMap.value(d.imessage)));
    auto second = static_cast<_ChatSessionItemNode *>(node->children.at(1));
    QCOMPARE(second->name, QString("Team"));
    QCOMPARE(second->last, 300);
    auto third = static_cast<_ChatSessionItemNode *>(node->children.at(2));
    QCOMPARE(third->chats, QList<_MsgChat *> { node->messageSet->chatMap.value(d.lonely) });
    QCOMPARE(model.indexOfNode(third).data().toString(), QString("Unknown"));
}

void TestItemModelMain::sessionDecoration_data()
{
    QTest::addColumn<int>("handles");
    QTest::addColumn<QByteArray>("photo");
    QTest::addColumn<QString>("icon"); // empty: the photo itself

    const QByteArray jpeg = encodedImage("JPEG", QSize(40, 60));
    const QByteArray png = encodedImage("PNG", QSize(60, 30));
    QTest::newRow("one handle, JPEG photo") << 1 << jpeg << QString();
    QTest::newRow("one handle, PNG photo") << 1 << png << QString();
    QTest::newRow("one handle, no photo") << 1 << QByteArray() << ":res/contact.png";
    QTest::newRow("one handle, broken photo")
        << 1 << QByteArray("not a picture") << ":res/contact.png";
    QTest::newRow("no handle") << 0 << QByteArray() << ":res/contact.png";
    QTest::newRow("two handles with photos") << 2 << jpeg << ":res/group.png";
}

void TestItemModelMain::sessionDecoration()
{
    QFETCH(int, handles);
    QFETCH(QByteArray, photo);
    QFETCH(QString, icon);

    ItemModelMain model;
    auto node = model.addLocalDb(QSharedPointer<AbsMessageDb>(), "db");
    _MsgChat *chat = addChat(*node->messageSet, 1, "+12025550001", 10);
    for (int i = 0; i < handles; ++i)
        addHandle(*node->messageSet, chat, i + 1, photo);
    model.refreshChatSessions(node);

    const QImage shown = decorationImage(model.indexOfNode(node->children.first()));
    QVERIFY(!shown.isNull());
    if (icon.isEmpty()) {
        QCOMPARE(shown.height(), 18);
        const QImage expected
            = QImage::fromData(photo).scaledToHeight(18, Qt::SmoothTransformation);
        QCOMPARE(shown.width(), expected.width());
    } else {
        QCOMPARE(shown, iconImage(icon));
    }
}

void TestItemModelMain::nodeDecorationFollowsKind_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QString>("icon");
    QTest::newRow("Devices") << 0 << ":res/devices.png";
    QTest::newRow("Local Databases") << 1 << ":res/databases.png";
    QTest::newRow("device") << 2 << ":res/iphone.png";
    QTest::newRow("local database") << 3 << ":res/database.png";
}

void TestItemModelMain::nodeDecorationFollowsKind()
{
    QFETCH(int, which);
    QFETCH(QString, icon);
    ItemModelMain model;
    IOSDevice device;
    device.name = "phone";
    AbsTreeItemModel::_ItemNode *nodes[] = { model.rootDevice(), model.rootLocalDb(),
        model.addDevice({}, device), model.addLocalDb({}, "db") };
    const QImage expected = iconImage(icon);
    QVERIFY(!expected.isNull());
    QCOMPARE(expected.width(), 18);
    QCOMPARE(decorationImage(model.indexOfNode(nodes[which])), expected);
}

void TestItemModelMain::recoveredChatsShowInRed_data()
{
    QTest::addColumn<qint64>("rowid");
    QTest::addColumn<bool>("red");
    QTest::newRow("ordinary chat") << qint64(12) << false;
    QTest::newRow("synthetic negative key") << qint64(-5) << false;
    QTest::newRow("just above the recovered range") << qint64(-1947483646) << false;
    QTest::newRow("first recovered id") << qint64(-1947483647) << true;
    QTest::newRow("recovered row 1000") << -(1000 + qint64(1947483647)) << true;
}

void TestItemModelMain::recoveredChatsShowInRed()
{
    QFETCH(qint64, rowid);
    QFETCH(bool, red);
    ItemModelMain model;
    auto node = model.addLocalDb(QSharedPointer<AbsMessageDb>(), "db");
    addChat(*node->messageSet, rowid, "+12025550001", 10);
    model.refreshChatSessions(node);

    const QVariant foreground = model.indexOfNode(node->children.first()).data(Qt::ForegroundRole);
    QCOMPARE(foreground.isValid(), red);
    if (red)
        QCOMPARE(foreground.value<QBrush>().color(), QColor(255, 0, 0));
    QVERIFY(!model.indexOfNode(node).data(Qt::ForegroundRole).isValid());
}

void TestItemModelMain::removingNodeKeepsOtherRowsAndPersistentIndexes()
{
    ItemModelMain model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    IOSDevice device;
    QList<_IOSDeviceItemNode *> devices;
    for (const char *name : { "first", "second", "third" }) {
        device.name = name;
        auto node = model.addDevice({}, device);
        addChat(*node->messageSet, 1, "+12025550001", 10);
        addChat(*node->messageSet, 2, "+12025550002", 20);
        model.refreshChatSessions(node);
        devices.append(node);
    }
    const QPersistentModelIndex removedDevice = model.indexOfNode(devices.at(1));
    const QPersistentModelIndex removedSession = model.indexOfNode(devices.at(1)->children.at(1));
    const QPersistentModelIndex third = model.indexOfNode(devices.at(2));
    const QPersistentModelIndex thirdSession = model.indexOfNode(devices.at(2)->children.at(0));
    const QPersistentModelIndex localRoot = model.indexOfNode(model.rootLocalDb());

    model.removeNode(devices.at(1));

    QVERIFY(!removedDevice.isValid());
    QVERIFY(!removedSession.isValid());
    QCOMPARE(third.row(), 1);
    QCOMPARE(third.data().toString(), QString("third"));
    QCOMPARE(AbsTreeItemModel::nodeOf(third), devices.at(2));
    QCOMPARE(thirdSession.parent(), QModelIndex(third));
    QCOMPARE(localRoot.row(), 1);
    const QModelIndex devicesRoot = model.index(0, 0);
    QCOMPARE(model.rowCount(devicesRoot), 2);
    QCOMPARE(model.index(0, 0, devicesRoot).data().toString(), QString("first"));
    QCOMPARE(model.index(1, 0, devicesRoot).data().toString(), QString("third"));

    // A node no longer in the tree is left alone.
    model.removeNode(nullptr);
    QCOMPARE(model.rowCount(devicesRoot), 2);
}

void TestItemModelMain::removeChildrenWithoutChildrenIsSilent()
{
    ItemModelMain model;
    auto node = model.addLocalDb({}, "empty");
    QSignalSpy aboutToRemove(&model, &QAbstractItemModel::rowsAboutToBeRemoved);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    model.removeChildren(node);
    model.refreshChatSessions(node); // no chats: still no sessions
    QCOMPARE(aboutToRemove.count(), 0);
    QCOMPARE(removed.count(), 0);
    QCOMPARE(model.rowCount(model.indexOfNode(node)), 0);
}

void TestItemModelMain::additionsAreAnnouncedAsInsertedRows()
{
    ItemModelMain model;
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    IOSDevice device;
    device.name = "phone";
    auto first = model.addDevice({}, device);
    auto second = model.addDevice({}, device);
    addChat(*second->messageSet, 1, "+12025550001", 10);
    addChat(*second->messageSet, 2, "+12025550002", 20);
    addChat(*second->messageSet, 3, "+12025550002", 30);
    model.refreshChatSessions(second);

    // Views and proxies learn of new rows only through these notifications.
    QCOMPARE(inserted.count(), 3);
    const auto check = [&](int call, const QModelIndex &parent, int firstRow, int lastRow) {
        const QList<QVariant> &arguments = inserted.at(call);
        QCOMPARE(arguments.at(0).toModelIndex(), parent);
        QCOMPARE(arguments.at(1).toInt(), firstRow);
        QCOMPARE(arguments.at(2).toInt(), lastRow);
    };
    const QModelIndex devicesRoot = model.indexOfNode(model.rootDevice());
    check(0, devicesRoot, 0, 0);
    check(1, devicesRoot, 1, 1);
    check(2, model.indexOfNode(second), 0, 1);
    QCOMPARE(model.rowCount(model.indexOfNode(first)), 0);
}

void TestItemModelMain::indexOfNodeFollowsRemovalOfEarlierSibling()
{
    ItemModelMain model;
    auto first = model.addLocalDb({}, "a");
    auto second = model.addLocalDb({}, "b");
    const QModelIndex before = model.indexOfNode(second);
    QCOMPARE(before.row(), 1);
    QCOMPARE(model.parent(before), model.index(1, 0));
    model.removeNode(first);
    const QModelIndex after = model.indexOfNode(second);
    QCOMPARE(after.row(), 0);
    QCOMPARE(model.index(0, 0, model.index(1, 0)), after);
}

void TestItemModelMain::refreshedSessionsReplaceTheOldOnes()
{
    ItemModelMain model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    auto node = model.addLocalDb({}, "db");
    addChat(*node->messageSet, 1, "+12025550001", 10);
    model.refreshChatSessions(node);
    const QPersistentModelIndex oldSession = model.indexOfNode(node->children.first());

    addChat(*node->messageSet, 2, "+12025550002", 30);
    addChat(*node->messageSet, 3, "+12025550001", 40);
    model.refreshChatSessions(node);

    QVERIFY(!oldSession.isValid());
    QCOMPARE(node->children.size(), 2);
    auto newest = static_cast<_ChatSessionItemNode *>(node->children.first());
    QCOMPARE(newest->last, 40);
    QCOMPARE(newest->chats.size(), 2);
}

void TestItemModelMain::workerReferencesOutliveRemovedNode()
{
    ItemModelMain model;
    auto node = model.addLocalDb({}, "db");
    addChat(*node->messageSet, 1, "+12025550001", 10);
    model.refreshChatSessions(node);
    const QSharedPointer<MsgMessageSet> workerSet = node->messageSet;
    QWeakPointer<MsgMessageSet> watch = node->messageSet;

    model.removeNode(node);
    QCOMPARE(workerSet->chatMap.size(), 1);
    QVERIFY(watch);
    QCOMPARE(model.rowCount(model.index(1, 0)), 0);
}

void TestItemModelMain::nodeChangedStaysUnderOneParent()
{
    ItemModelMain model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    auto node = model.addLocalDb({}, "db");
    addChat(*node->messageSet, 1, "+12025550001", 10);
    addChat(*node->messageSet, 2, "+12025550002", 20);
    model.refreshChatSessions(node);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.nodeChanged(node);
    QCOMPARE(changed.count(), 2);
    for (const QList<QVariant> &arguments : changed) {
        const QModelIndex topLeft = arguments.at(0).toModelIndex();
        const QModelIndex bottomRight = arguments.at(1).toModelIndex();
        QCOMPARE(topLeft.parent(), bottomRight.parent());
        QVERIFY(topLeft.row() <= bottomRight.row());
    }
    model.nodeChanged(node->children.first()); // a session without children
    QCOMPARE(changed.count(), 3);
}

QTEST_MAIN(TestItemModelMain)
#include "tst_itemmodelmain.moc"
