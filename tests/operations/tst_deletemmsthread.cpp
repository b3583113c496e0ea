#include "operations/deletemmsthread.h"
#include "operations/exportmessagesdb.h"
#include "platform/sqlite_qt/sqlite_qt.h"
#include "shell/progressform.h"
#include "support/foldersnapshot.h"
#include "support/localdbfixture.h"
#include "support/messagesetbuilder.h"
#include "support/recordingprogressform.h"
#include "support/workercontrol.h"

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
        MessageSetBuilder b(dir.filePath(QStringLiteral("records")));
        _MsgHandle *ha = b.handle(QStringLiteral("+15550001"));
        _MsgHandle *hb = b.handle(QStringLiteral("+15550002"));
        _MsgChat *ca = b.chat(ha->id, { ha });
        _MsgChat *cb = b.chat(hb->id, { hb });
        _MsgChat *group = b.chat(QStringLiteral("chat1"), { ha, hb });
        auto message = [&b](_MsgChat *chat, _MsgHandle *from, qint32 date, const char *guid) {
            _MsgMessage *m = b.message(chat, from, date, QLatin1String(guid), !from);
            m->guid = QLatin1String(guid);
            return m;
        };
        auto attach = [&b](_MsgMessage *m, const QString &filename) {
            b.attach(m, QStringLiteral("x.jpg"), QStringLiteral("image/jpeg"), QByteArray())
                ->filename
                = filename;
        };
        message(ca, ha, 1000, "a1");
        attach(message(ca, nullptr, 2000, "a2"), kShared);
        attach(message(ca, ha, 3000, "a3"), kShared);
        attach(message(cb, hb, 4000, "b1"), kOwn);
        message(group, hb, 5000, "g1");
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

    // True when the run succeeded; `hook` runs in the worker before each message.
    bool run(RecordingProgressForm &form, MsgMessageList list,
        std::function<void(ProgressForm &, int)> hook = nullptr)
    {
        QDir folder(db.folder());
        DeleteMMSThread worker(&folder, &list, &form);
        if (hook)
            worker.setItemHook([&form, hook](int i) { hook(form, i); });
        return form.run(worker) == 1 && !form.failed;
    }

    bool run(MsgMessageList list)
    {
        RecordingProgressForm form;
        return run(form, list);
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
    void initTestCase()
    {
        // The country table is copied into the program's data folder below HOME.
        qputenv("HOME", m_home.path().toUtf8());
        QVERIFY(installEnglishTexts());
    }
    void deletesMessagesJoinsAndEmptiedChats();
    void removesAFileOnlyWhenNoMessageLeftShowsIt();
    void neverRemovesFilesOutsideTheDatabaseFolder_data();
    void neverRemovesFilesOutsideTheDatabaseFolder();
    void cancelLeavesEverythingAsItWas_data();
    void cancelLeavesEverythingAsItWas();
    void failureRollsBackAndReports();
    void emptyListDeletesNothing();
    void worksWithTriggersCallingPhoneFunctions();
    void cleanUpTriggersRunOnceAndSchemaStays();
    void refusedWhileASaveWritesIntoTheDatabase();
    void aSaveIsRefusedWhileTheDeleteRuns();

private:
    QTemporaryDir m_home;
};

void TestDeleteMMSThread::deletesMessagesJoinsAndEmptiedChats()
{
    DeleteFixture f;
    RecordingProgressForm form;
    QVERIFY(f.run(form, f.pick({ QStringLiteral("a1"), QStringLiteral("b1") })));
    QCOMPARE(form.infos, QStringList { QStringLiteral("Successfully Deleted 2 Messages.") });
    QCOMPARE(form.statuses, QStringList { QStringLiteral("Deleting Messages...") });
    QCOMPARE(form.texts.last(), QStringLiteral("Messages: 2/2"));
    QCOMPARE(form.values, (QList<int> { 0, 50, 100 }));

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
    QVERIFY(f.run(f.pick({ QStringLiteral("a2") })));
    QVERIFY2(QFile::exists(f.sharedFile), "a3 still shows the picture");
    QVERIFY(f.run(f.pick({ QStringLiteral("a3") })));
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
    QVERIFY(f.run({ b1 }));
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
    RecordingProgressForm form;
    QVERIFY(!f.run(form,
        f.pick({ QStringLiteral("a1"), QStringLiteral("a2"), QStringLiteral("a3"),
            QStringLiteral("b1") }),
        [at](ProgressForm &dialog, int i) {
            if (i == at)
                cancelFromWorker(dialog);
        }));
    QVERIFY(form.infos.isEmpty() && form.errors.isEmpty());
    QCOMPARE(snapshotFolder(f.dir.path()), before);
}

void TestDeleteMMSThread::failureRollsBackAndReports()
{
    DeleteFixture f;
    execute(f.db.path(),
        QStringLiteral("CREATE TRIGGER refuse BEFORE DELETE ON message WHEN old.guid='b1' "
                       "BEGIN SELECT RAISE(ABORT, 'refused by the test'); END;"));
    const auto before = snapshotFolder(f.dir.path());
    RecordingProgressForm form;
    QVERIFY(!f.run(form,
        f.pick({ QStringLiteral("a1"), QStringLiteral("a2"), QStringLiteral("b1"),
            QStringLiteral("g1") })));
    QCOMPARE(form.errors.size(), 1);
    QVERIFY(form.errors.first().contains(QStringLiteral("refused by the test")));
    QCOMPARE(snapshotFolder(f.dir.path()), before);
}

void TestDeleteMMSThread::emptyListDeletesNothing()
{
    DeleteFixture f;
    const auto before = snapshotFolder(f.dir.path());
    RecordingProgressForm form;
    QVERIFY(f.run(form, {}));
    QCOMPARE(form.infos, QStringList { QStringLiteral("Successfully Deleted 0 Messages.") });
    QCOMPARE(snapshotFolder(f.dir.path()), before);
}

void TestDeleteMMSThread::worksWithTriggersCallingPhoneFunctions()
{
    DeleteFixture f;
    execute(f.db.path(),
        QStringLiteral("CREATE TRIGGER after_delete_on_message_phone AFTER DELETE ON message "
                       "BEGIN SELECT phone_only_cleanup(old.guid, old.ROWID); SELECT "
                       "cancel_processing(); END;"));
    RecordingProgressForm form;
    QVERIFY2(f.run(form, f.pick({ QStringLiteral("g1") })),
        qPrintable(form.errors.join(QLatin1Char('\n'))));
    QCOMPARE(f.count("select count(*) from message where guid='g1'"), 0);
}

void TestDeleteMMSThread::cleanUpTriggersRunOnceAndSchemaStays()
{
    DeleteFixture f;
    // A message without a chat: the table-wide clean-up removes it as it always would.
    execute(f.db.path(),
        QStringLiteral("INSERT INTO message(guid, text, date) VALUES('orphan', 'x', 1)"));
    QVERIFY(f.run(f.pick({ QStringLiteral("a1") })));
    QCOMPARE(f.count("select count(*) from message where guid='orphan'"), 0);
    QCOMPARE(f.count("select count(*) from sqlite_master where type='trigger' and "
                     "name='clean_orphaned_messages'"),
        1);
    // Nothing made for the deletion stays in the schema.
    QCOMPARE(f.count("select count(*) from sqlite_master where name like 'qm_%'"), 0);
}

void TestDeleteMMSThread::refusedWhileASaveWritesIntoTheDatabase()
{
    DeleteFixture f;
    // The save of another window, as far as its lock goes.
    ExportMessagesDb save(QDir(f.db.folder()), QString());
    save.begin();
    RecordingProgressForm form;
    QVERIFY(!f.run(form, f.pick({ QStringLiteral("a1"), QStringLiteral("b1") })));
    QCOMPARE(form.errors.size(), 1);
    QVERIFY2(form.errors.first().contains(
                 QStringLiteral("Another window is writing into the local database \"db\"")),
        qPrintable(form.errors.first()));
    QCOMPARE(f.count("select count(*) from message"), 5);
    QVERIFY(QFile::exists(f.ownFile));
    save.rollback();
    QVERIFY(f.run(f.pick({ QStringLiteral("a1") })));
}

void TestDeleteMMSThread::aSaveIsRefusedWhileTheDeleteRuns()
{
    DeleteFixture f;
    QStringList saveErrors;
    RecordingProgressForm form;
    QVERIFY(f.run(
        form, f.pick({ QStringLiteral("a1"), QStringLiteral("b1") }), [&](ProgressForm &, int i) {
            if (i != 2)
                return;
            ExportMessagesDb save(QDir(f.db.folder()), QString());
            try {
                save.begin();
            } catch (const std::exception &e) {
                saveErrors << QString::fromUtf8(e.what());
            }
        }));
    QCOMPARE(saveErrors.size(), 1);
    QVERIFY(saveErrors.first().startsWith(QStringLiteral("Another window is writing")));
    QVERIFY(!QFile::exists(f.ownFile));
}

QTEST_MAIN(TestDeleteMMSThread)
#include "tst_deletemmsthread.moc"
