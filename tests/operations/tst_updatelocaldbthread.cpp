#include "messages/ios6messagedb.h"
#include "operations/updatelocaldbthread.h"
#include "records/msgidentity.h"
#include "support/foldersnapshot.h"
#include "support/legacymmsdbfixture.h"
#include "support/recordingprogressform.h"
#include "support/workercontrol.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

const qint64 kUnixDate = 1400000000;
const qint32 kRecordDate = qint32(kUnixDate - RecordEpochOffset);

bool upgrade(RecordingProgressForm &form, const QString &dataFolder)
{
    UpdateLocalDbThread worker(&form, QDir(dataFolder));
    return form.run(worker) == 1 && !form.failed;
}

QSharedPointer<MsgMessageSet> loadLocal(const QString &dataFolder, const QString &name)
{
    IOS6MessageDb db(
        QDir(dataFolder + QStringLiteral("/local_databases/") + name), QString(), false);
    QSharedPointer<MsgMessageSet> set;
    MsgMessageSet::create(set);
    db.chats(set);
    db.messages(set, 0);
    return set;
}

_MsgMessage *byText(const MsgMessageSet &set, const QString &text)
{
    for (_MsgMessage *m : set.messageMap) {
        if (m->text == text)
            return m;
    }
    return nullptr;
}

} // namespace

class TestUpdateLocalDbThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void convertsMessagesHandlesDatesAndFiles();
    void convertsInPlaceUnderLocalDatabases();
    void emptyDatabaseMovesAsideToo();
    void keptFileOfAnEarlierRunIsNeverOverwritten();
    void failureStopsAtItsFolder();

private:
    QTemporaryDir m_home;
};

void TestUpdateLocalDbThread::initTestCase()
{
    // The country table is copied into the program's data folder below HOME.
    qputenv("HOME", m_home.path().toUtf8());
    QVERIFY(installEnglishTexts());
}

void TestUpdateLocalDbThread::convertsMessagesHandlesDatesAndFiles()
{
    QTemporaryDir data;
    const QString old = data.filePath(QStringLiteral("data/Old Phone"));
    LegacyMmsDbFixture legacy(old);
    const qint64 alice = legacy.addHandle(QStringLiteral("+15550001111"), QStringLiteral("Alice"));
    const qint64 noHandle = 99;
    legacy.addMessage(alice, QStringLiteral("hello"), kUnixDate, true, QStringLiteral("subject"));
    const qint64 picture = legacy.addMessage(alice, QStringLiteral("look"), kUnixDate + 60);
    legacy.addAttachment(
        picture, QStringLiteral("IMG_1.JPG"), QStringLiteral("image/jpeg"), "jpeg");
    legacy.addAttachment(
        picture, QStringLiteral("doc.pdf"), QStringLiteral("application/pdf"), "pdf");
    legacy.addAttachment(picture, QStringLiteral("blank"), QString(), "x");
    legacy.addAttachment(
        picture, QStringLiteral("../../escape.txt"), QStringLiteral("text/plain"), QByteArray());
    const qint64 note = legacy.addMessage(alice, QString(), kUnixDate + 120);
    legacy.addAttachment(
        note, QStringLiteral("note.txt"), QStringLiteral("TEXT/PLAIN"), "  word \n");
    legacy.addMessage(noHandle, QStringLiteral("orphan"), kUnixDate);
    legacy.close();

    RecordingProgressForm form;
    QVERIFY2(upgrade(form, data.path()), qPrintable(form.errors.join(QLatin1Char('\n'))));
    QCOMPARE(form.infos,
        QStringList {
            QStringLiteral("Successfully updated local database. Please restart software.") });
    QCOMPARE(form.statuses,
        QStringList { QStringLiteral("Updating local database Old Phone messages...") });
    QCOMPARE(form.values, (QList<int> { 0, 33, 66, 100 }));
    QVERIFY(!QFileInfo::exists(old + QStringLiteral("/mms.db")));
    QVERIFY(QFileInfo::exists(old + QStringLiteral("/mms.db-bak")));
    QVERIFY(UpdateLocalDbThread::legacyFolders(QDir(data.path())).isEmpty());

    const auto set = loadLocal(data.path(), QStringLiteral("Old Phone"));
    QCOMPARE(set->messageMap.size(), 4);
    QCOMPARE(set->chatMap.size(), 1);
    const _MsgChat *chat = set->chatMap.first();
    QCOMPARE(chat->guid, QStringLiteral("SMS;-;+15550001111"));
    QCOMPARE(chat->handles.size(), 1);
    QCOMPARE(chat->handles.first()->contactName, QStringLiteral("Alice"));

    const _MsgMessage *hello = byText(*set, QStringLiteral("hello"));
    QVERIFY(hello);
    QCOMPARE(hello->date, kRecordDate);
    QCOMPARE(hello->subject, QStringLiteral("subject"));
    QCOMPARE(hello->is_from_me, 1);
    QVERIFY(byText(*set, QStringLiteral("look")));
    const _MsgMessage *word = byText(*set, QStringLiteral("word"));
    QVERIFY(word && word->attachments.isEmpty());
    const _MsgMessage *media = byText(*set, QString(QChar(0xFFFC)));
    QVERIFY(media);
    QCOMPARE(media->date, kRecordDate + 60);
    QCOMPARE(media->attachments.size(), 1);
    const _MsgAttachment *a = media->attachments.first();
    QCOMPARE(a->uti, QStringLiteral("public.jpeg"));
    QVERIFY(a->filename.endsWith(QStringLiteral("/IMG_1.JPG")));
    QCOMPARE(fileBytes(a->localPath), QByteArray("jpeg"));
}

void TestUpdateLocalDbThread::convertsInPlaceUnderLocalDatabases()
{
    QTemporaryDir data;
    const QString folder = data.filePath(QStringLiteral("local_databases/Mine"));
    LegacyMmsDbFixture legacy(folder);
    legacy.addMessage(legacy.addHandle(QStringLiteral("+15550002222"), QString()),
        QStringLiteral("hi"), kUnixDate);
    legacy.close();
    QCOMPARE(UpdateLocalDbThread::legacyFolders(QDir(data.path())), QStringList { folder });

    RecordingProgressForm form;
    QVERIFY(upgrade(form, data.path()));
    QVERIFY(
        QFileInfo::exists(folder + QStringLiteral("/file-relay/var/mobile/Library/SMS/sms.db")));
    QVERIFY(QFileInfo::exists(folder + QStringLiteral("/mms.db-bak")));
    QCOMPARE(loadLocal(data.path(), QStringLiteral("Mine"))->messageMap.size(), 1);
}

void TestUpdateLocalDbThread::emptyDatabaseMovesAsideToo()
{
    QTemporaryDir data;
    LegacyMmsDbFixture(data.filePath(QStringLiteral("data/Empty"))).close();
    RecordingProgressForm form;
    QVERIFY(upgrade(form, data.path()));
    QVERIFY(QFileInfo::exists(data.filePath(QStringLiteral("data/Empty/mms.db-bak"))));
    QCOMPARE(loadLocal(data.path(), QStringLiteral("Empty"))->messageMap.size(), 0);
}

void TestUpdateLocalDbThread::keptFileOfAnEarlierRunIsNeverOverwritten()
{
    QTemporaryDir data;
    const QString old = data.filePath(QStringLiteral("data/Twice"));
    LegacyMmsDbFixture legacy(old);
    legacy.addMessage(legacy.addHandle(QStringLiteral("+15550003333"), QString()),
        QStringLiteral("again"), kUnixDate);
    legacy.close();
    const QByteArray database = fileBytes(old + QStringLiteral("/mms.db"));
    QFile earlier(old + QStringLiteral("/mms.db-bak"));
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("kept by an earlier run");
    earlier.close();

    RecordingProgressForm form;
    QVERIFY(upgrade(form, data.path()));
    QVERIFY(!QFileInfo::exists(old + QStringLiteral("/mms.db")));
    QCOMPARE(fileBytes(old + QStringLiteral("/mms.db-bak")), QByteArray("kept by an earlier run"));
    QCOMPARE(fileBytes(old + QStringLiteral("/mms(1).db-bak")), database);
    QVERIFY(UpdateLocalDbThread::legacyFolders(QDir(data.path())).isEmpty());
}

void TestUpdateLocalDbThread::failureStopsAtItsFolder()
{
    QTemporaryDir data;
    for (const char *name : { "A", "B", "C" }) {
        LegacyMmsDbFixture legacy(data.filePath(QStringLiteral("data/") + QLatin1String(name)));
        legacy.addMessage(legacy.addHandle(QStringLiteral("+15550004444"), QString()),
            QLatin1String(name), kUnixDate);
    }
    QFile broken(data.filePath(QStringLiteral("data/B/mms.db")));
    QVERIFY(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
    broken.write(QByteArray(4096, 'x'));
    broken.close();
    const auto untouched = snapshotFolder(data.filePath(QStringLiteral("data/C")));

    RecordingProgressForm form;
    QVERIFY(!upgrade(form, data.path()));
    QCOMPARE(form.errors.size(), 1);
    QVERIFY(form.infos.isEmpty());
    QVERIFY(QFileInfo::exists(data.filePath(QStringLiteral("data/A/mms.db-bak"))));
    QCOMPARE(loadLocal(data.path(), QStringLiteral("A"))->messageMap.size(), 1);
    QVERIFY(QFileInfo::exists(data.filePath(QStringLiteral("data/B/mms.db"))));
    QVERIFY(!QFileInfo::exists(data.filePath(QStringLiteral("local_databases/B/file-relay"))));
    QCOMPARE(snapshotFolder(data.filePath(QStringLiteral("data/C"))), untouched);
    QVERIFY(!QFileInfo::exists(data.filePath(QStringLiteral("local_databases/C"))));
}

QTEST_MAIN(TestUpdateLocalDbThread)
#include "tst_updatelocaldbthread.moc"
