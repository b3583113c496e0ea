#include "operations/deletemmsthread.h"
#include "platform/sqlite_qt/sqlite_qt.h"
#include "shell/progressform.h"
#include "support/foldersnapshot.h"
#include "support/localdbfixture.h"
#include "support/messagesetbuilder.h"
#include "support/workerrunner.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kShared = QStringLiteral("~/Library/SMS/Attachments/aa/01/shared.jpg");
const QString kOwn = QStringLiteral("~/Library/SMS/Attachments/bb/02/own.jpg");

QVariant scalar(const QString &path, const QString &sql)
{
    Sqlite3DB db;
    db.openThrow(path, Sqlite3DB::ReadWrite);
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(sql));
    return c.moveNext() ? c.getValue(0) : QVariant();
}

void execute(const QString &path, const QString &sql)
{
    Sqlite3DB db;
    db.openThrow(path, Sqlite3DB::ReadWrite);
    QString error;
    QVERIFY2(db.exec(sql, error), qPrintable(error));
}

// A local database of three chats: A (a1, a2 and a3, the last two showing one shared
// picture through two attachment rows), B (b1 with its own picture) and a group of both.
class DeleteFixture
{
public:
    DeleteFixture()
        : db(dir.filePath(QStringLiteral("db")))
    {
        MessageSetBuilder b;
        _MsgHandle *ha = b.handle(QStringLiteral("+15550001"));
        _MsgHandle *hb = b.handle(QStringLiteral("+15550002"));
        _MsgChat *ca = b.chat({ ha });
        _MsgChat *cb = b.chat({ hb });
        _MsgChat *group = b.chat({ ha, hb }, QStringLiteral("iMessage"));
        b.message(ca, ha, 1000, QStringLiteral("a1"), QStringLiteral("a1"));
        b.attach(b.message(ca, nullptr, 2000, QString(), QStringLiteral("a2")), kShared, QString());
        _MsgAttachment *again
            = b.attach(b.message(ca, ha, 3000, QString(), QStringLiteral("a3")), kShared, QString());
        again->guid = QStringLiteral("ATT-again");
        b.attach(b.message(cb, hb, 4000, QString(), QStringLiteral("b1")), kOwn, QString());
        b.message(group, hb, 5000, QStringLiteral("g1"), QStringLiteral("g1"));
        db.write(b.messages());
        sharedFile = db.writeAttachmentFile(kShared, "shared");
        ownFile = db.writeAttachmentFile(kOwn, "own");
        set = db.load();
    }

    MsgMessageList pick(const QStringList &guids) const
    {
        MsgMessageList list;
        for (const QString &guid : guids) {
            for (_MsgMessage *m : set->messageMap) {
                if (m->guid == guid)
                    list.append(m);
            }
        }
        return list;
    }

    // `hook` runs in the worker before each message.
    WorkerRun run(MsgMessageList list, std::function<void(ProgressForm &, int)> hook = nullptr)
    {
        QDir folder(db.folder());
        ProgressForm form { QString() };
        DeleteMMSThread worker(&folder, &list, &form);
        if (hook)
            worker.setItemHook([&form, hook](int i) { hook(form, i); });
        return runWorker(worker, form);
    }

    qint64 count(const QString &sql) const { return scalar(db.path(), sql).toLongLong(); }

    QTemporaryDir dir;
    LocalDbFixture db;
    QSharedPointer<MsgMessageSet> set;
    QString sharedFile;
    QString ownFile;
};

} // namespace

class TestDeleteMMSThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(installEnglishTexts()); }
    void deletesMessagesJoinsAndEmptiedChats();
    void removesAFileOnlyWhenNoMessageLeftShowsIt();
    void neverRemovesFilesOutsideTheDatabaseFolder_data();
    void neverRemovesFilesOutsideTheDatabaseFolder();
    void cancelLeavesEverythingAsItWas_data();
    void cancelLeavesEverythingAsItWas();
    void failureRollsBackAndReports();
    void emptyListDeletesNothing();
    void worksWithTriggersCallingPhoneFunctions();
    void cleanUpTriggersRunOnceAndStay();
};

void TestDeleteMMSThread::deletesMessagesJoinsAndEmptiedChats()
{
    DeleteFixture f;
    const WorkerRun run = f.run(f.pick({ QStringLiteral("a1"), QStringLiteral("b1") }));
    QVERIFY(run.done());
    QCOMPARE(run.infos, QStringList { QStringLiteral("Successfully Deleted 2 Messages.") });
    QCOMPARE(run.status, QStringLiteral("Deleting Messages..."));
    QCOMPARE(run.detail, QStringLiteral("Messages: 2/2"));
    QCOMPARE(run.progress.last(), 100);

    QCOMPARE(scalar(f.db.path(), QStringLiteral("pragma integrity_check")).toString(),
        QStringLiteral("ok"));
    QCOMPARE(f.count("select count(*) from message where guid in ('a1','b1')"), 0);
    QCOMPARE(f.count("select count(*) from message"), 3);
    QCOMPARE(f.count("select count(*) from chat where chat_identifier='+15550002'"), 0);
    QCOMPARE(f.count("select count(*) from chat where chat_identifier='+15550001'"), 1);
    QCOMPARE(f.count("select count(*) from chat_message_join where message_id not in (select "
                     "rowid from message) or chat_id not in (select rowid from chat)"),
        0);
    QCOMPARE(f.count("select count(*) from message_attachment_join where message_id not in "
                     "(select rowid from message)"),
        0);
    QCOMPARE(f.count("select count(*) from chat_handle_join where chat_id not in (select rowid "
                     "from chat) or handle_id not in (select rowid from handle)"),
        0);
    // The handle of B stays: the group still has it.
    QCOMPARE(f.count("select count(*) from handle where id='+15550002'"), 1);
    QVERIFY(!QFile::exists(f.ownFile));
    QVERIFY(QFile::exists(f.sharedFile));
}

void TestDeleteMMSThread::removesAFileOnlyWhenNoMessageLeftShowsIt()
{
    DeleteFixture f;
    QVERIFY(f.run(f.pick({ QStringLiteral("a2") })).done());
    QVERIFY2(QFile::exists(f.sharedFile), "a3 still shows the picture");
    QVERIFY(f.run(f.pick({ QStringLiteral("a3") })).done());
    QVERIFY(!QFile::exists(f.sharedFile));
}

void TestDeleteMMSThread::neverRemovesFilesOutsideTheDatabaseFolder_data()
{
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("path outside") << false;
    QTest::newRow("link inside to a folder outside") << true;
}

void TestDeleteMMSThread::neverRemovesFilesOutsideTheDatabaseFolder()
{
    QFETCH(bool, throughLink);
    DeleteFixture f;
    const QString outsideFolder = f.dir.filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(outsideFolder));
    const QString outsideFile = outsideFolder + QStringLiteral("/own.jpg");
    QFile file(outsideFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("keep");
    file.close();

    _MsgMessage *b1 = f.pick({ QStringLiteral("b1") }).first();
    _MsgAttachment *a = b1->attachments.first();
    if (throughLink) {
        const QString link = f.db.folder() + QStringLiteral("/file-relay/link");
        QVERIFY(QFile::link(outsideFolder, link));
        a->localPath = link + QStringLiteral("/own.jpg");
    } else {
        a->localPath = f.db.folder() + QStringLiteral("/../outside/own.jpg");
    }
    QVERIFY(f.run({ b1 }).done());
    QVERIFY(QFile::exists(outsideFile));
    QVERIFY(QFile::exists(f.ownFile)); // not named by the record any more
}

void TestDeleteMMSThread::cancelLeavesEverythingAsItWas_data()
{
    QTest::addColumn<int>("at");
    QTest::newRow("before the first message") << 1;
    QTest::newRow("after some were deleted") << 3;
}

void TestDeleteMMSThread::cancelLeavesEverythingAsItWas()
{
    QFETCH(int, at);
    DeleteFixture f;
    const auto before = snapshotFolder(f.dir.path());
    const WorkerRun run = f.run(f.pick({ QStringLiteral("a1"), QStringLiteral("a2"),
                                    QStringLiteral("a3"), QStringLiteral("b1") }),
        [at](ProgressForm &form, int i) {
            if (i == at)
                cancelFromWorker(form);
        });
    QCOMPARE(run.result, 0);
    QVERIFY(run.infos.isEmpty() && run.errors.isEmpty());
    QCOMPARE(snapshotFolder(f.dir.path()), before);
}

void TestDeleteMMSThread::failureRollsBackAndReports()
{
    DeleteFixture f;
    execute(f.db.path(),
        QStringLiteral("CREATE TRIGGER refuse BEFORE DELETE ON message WHEN old.guid='b1' "
                       "BEGIN SELECT RAISE(ABORT, 'refused by the test'); END;"));
    const auto before = snapshotFolder(f.dir.path());
    const WorkerRun run = f.run(f.pick({ QStringLiteral("a1"), QStringLiteral("a2"),
        QStringLiteral("b1"), QStringLiteral("g1") }));
    QCOMPARE(run.result, 0);
    QCOMPARE(run.errors.size(), 1);
    QVERIFY(run.errors.first().contains(QStringLiteral("refused by the test")));
    QCOMPARE(snapshotFolder(f.dir.path()), before);
}

void TestDeleteMMSThread::emptyListDeletesNothing()
{
    DeleteFixture f;
    const auto before = snapshotFolder(f.dir.path());
    const WorkerRun run = f.run({});
    QVERIFY(run.done());
    QCOMPARE(run.infos, QStringList { QStringLiteral("Successfully Deleted 0 Messages.") });
    QCOMPARE(snapshotFolder(f.dir.path()), before);
}

void TestDeleteMMSThread::worksWithTriggersCallingPhoneFunctions()
{
    DeleteFixture f;
    execute(f.db.path(),
        QStringLiteral("CREATE TRIGGER after_delete_on_message_phone AFTER DELETE ON message "
                       "BEGIN SELECT phone_only_cleanup(old.guid, old.ROWID); SELECT "
                       "cancel_processing(); END;"));
    const WorkerRun run = f.run(f.pick({ QStringLiteral("g1") }));
    QVERIFY2(run.done(), qPrintable(run.errors.join(QLatin1Char('\n'))));
    QCOMPARE(f.count("select count(*) from message where guid='g1'"), 0);
}

void TestDeleteMMSThread::cleanUpTriggersRunOnceAndStay()
{
    DeleteFixture f;
    // A message without a chat: the table-wide clean-up removes it as it always would.
    execute(f.db.path(),
        QStringLiteral("INSERT INTO message(guid, text, date) VALUES('orphan', 'x', 1)"));
    QVERIFY(f.run(f.pick({ QStringLiteral("a1") })).done());
    QCOMPARE(f.count("select count(*) from message where guid='orphan'"), 0);
    QCOMPARE(f.count("select count(*) from sqlite_master where type='trigger' and "
                     "name='clean_orphaned_messages'"),
        1);
}

QTEST_MAIN(TestDeleteMMSThread)
#include "tst_deletemmsthread.moc"
