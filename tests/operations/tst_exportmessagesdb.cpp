#include "messages/ios6messagedb.h"
#include "operations/backupsmsthread.h"
#include "operations/exportmessagesdb.h"
#include "platform/durablefile/writerruns.h"
#include "shell/datafolder.h"
#include "support/filesizelimit.h"
#include "support/filesystemseam.h"
#include "support/foldersnapshot.h"
#include "support/killedwriter.h"
#include "support/messagesetbuilder.h"
#include "support/recordingprogressform.h"
#include "support/workercontrol.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>

Q_DECLARE_METATYPE(FileSystemSeam)

namespace {

const char *const countedTables[] = { "message", "chat", "handle", "attachment",
    "chat_message_join", "chat_handle_join", "message_attachment_join" };

QString relayFile(const QString &folder, const QString &relative)
{
    return QDir(folder).filePath(QStringLiteral("file-relay/") + relative);
}

QString smsDb(const QString &folder)
{
    return relayFile(folder, QStringLiteral("var/mobile/Library/SMS/sms.db"));
}

// Row counts of the message tables, in the order of countedTables.
QList<qint64> rowCounts(const QString &folder)
{
    IOS6MessageDb db(QDir(folder), QString(), false);
    db.open();
    QList<qint64> counts;
    for (const char *table : countedTables) {
        Sqlite3Cursor c = db.queryThrow(
            Sqlite3Sql(QStringLiteral("select count(*) from %1").arg(QLatin1String(table))));
        counts.append(c.moveNext() ? c.getInt64(0) : -1);
    }
    return counts;
}

QStringList filesBelow(const QString &folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(folder).relativeFilePath(it.next()));
    files.sort();
    return files;
}

// The names of the attachments whose file is not in the database's tree.
QStringList missingFiles(const QString &folder)
{
    IOS6MessageDb db(QDir(folder), QString(), false);
    db.open();
    QStringList missing;
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select filename from attachment"));
    while (c.moveNext()) {
        if (!QFileInfo(db.attachmentLocalPath(c.getText(0))).isFile())
            missing.append(c.getText(0).section('/', -1));
    }
    return missing;
}

QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

QStringList handleIds(const _MsgChat &chat)
{
    QStringList ids;
    for (const _MsgHandle *h : chat.handles)
        ids.append(h->id);
    ids.sort();
    return ids;
}

int save(const MsgMessageList &list, const QString &folder)
{
    ExportMessagesDb writer { QDir(folder), QString() };
    writer.begin();
    for (_MsgMessage *m : list)
        writer.write(m);
    writer.end();
    return writer.written();
}

} // namespace

class TestExportMessagesDb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void readsBackSameMessagesHandlesChatsAndFiles();
    void savingTwiceAddsNothing();
    void foundMessageGetsItsMissingAttachmentBack();
    void attachmentFilesStayInsideFileRelay_data();
    void attachmentFilesStayInsideFileRelay();
    void skipsMessagesWithoutKnownChat();
    void rollbackLeavesDatabaseAndFilesAsBefore();
    void rollbackOfNewDatabaseLeavesNothing();
    void newDatabaseAppearsOnlyWhenComplete_data();
    void newDatabaseAppearsOnlyWhenComplete();
    void secondWriterIsRefusedAndTouchesNothing_data();
    void secondWriterIsRefusedAndTouchesNothing();
    void killedWritersLockDoesNotHoldSavesBack_data();
    void killedWritersLockDoesNotHoldSavesBack();
    void savesWhereAJournalIsNotRemovedAtOnce();
    void savesEndWholeOnEveryFileSystem_data();
    void savesEndWholeOnEveryFileSystem();
    void workerSavesAndReportsCount();
    void workerCancelledWritesNothing();
    void workerReportsDatabaseFailure();
    void workerRefusedWhileAnotherWindowWrites();
    void workerFailureNamesTheFileAndTheReason_data();
    void workerFailureNamesTheFileAndTheReason();

private:
    // The data folder is fixed at its first use, so its home outlives every test's own folder.
    QTemporaryDir home;
    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<MessageSetBuilder> builder;
    MsgMessageList sample;
    QString target;
};

void TestExportMessagesDb::initTestCase()
{
    QVERIFY(home.isValid());
    qputenv("HOME", QFile::encodeName(home.path()));
    QVERIFY(installEnglishTexts());
}

void TestExportMessagesDb::init()
{
    tmp.reset(new QTemporaryDir);
    QVERIFY(tmp->isValid());
    builder.reset(new MessageSetBuilder(tmp->filePath("source")));
    sample = buildSampleChats(*builder);
    target = tmp->filePath("localdb");
}

void TestExportMessagesDb::readsBackSameMessagesHandlesChatsAndFiles()
{
    QCOMPARE(save(sample, target), sample.size());

    IOS6MessageDb db(QDir(target), QString(), false);
    QSharedPointer<MsgMessageSet> loaded;
    MsgMessageSet::create(loaded);
    db.chats(loaded);
    db.messages(loaded, 0);
    QCOMPARE(loaded->chatMap.size(), builder->set->chatMap.size());
    QCOMPARE(loaded->messageMap.size(), sample.size());

    QHash<QString, const _MsgMessage *> byGuid;
    for (const _MsgMessage *m : loaded->messageMap)
        byGuid.insert(m->guid, m);
    for (const _MsgMessage *expected : qAsConst(sample)) {
        const _MsgMessage *m = byGuid.value(expected->guid);
        QVERIFY2(m, qPrintable(expected->guid));
        QCOMPARE(m->text, expected->text);
        QCOMPARE(m->subject, expected->subject);
        QCOMPARE(m->date, expected->date);
        QCOMPARE(m->is_from_me, expected->is_from_me);
        QCOMPARE(m->item_type, expected->item_type);
        QCOMPARE(m->handle ? m->handle->id : QString(),
            expected->handle ? expected->handle->id : QString());
        QVERIFY(m->chat);
        QCOMPARE(m->chat->chat_identifier, expected->chat->chat_identifier);
        QCOMPARE(handleIds(*m->chat), handleIds(*expected->chat));
        QCOMPARE(m->attachments.size(), expected->attachments.size());
        const QList<_MsgAttachment *> got = m->sortedAttachments();
        const QList<_MsgAttachment *> want = expected->sortedAttachments();
        for (int i = 0; i < want.size(); ++i) {
            QCOMPARE(got.at(i)->filename, want.at(i)->filename);
            QCOMPARE(got.at(i)->mime_type, want.at(i)->mime_type);
            // The missing file stays missing; every other file is copied whole.
            QCOMPARE(
                QFileInfo::exists(got.at(i)->localPath), QFileInfo::exists(want.at(i)->localPath));
            QCOMPARE(fileBytes(got.at(i)->localPath), fileBytes(want.at(i)->localPath));
        }
    }

    _MsgChat *group = nullptr;
    for (_MsgChat *chat : loaded->chatMap)
        group = chat->isGroup() ? chat : group;
    QVERIFY(group);
    QCOMPARE(group->handles.size(), 3);
    QCOMPARE(group->last_addressed_handle, QStringLiteral("+15550001111"));
}

void TestExportMessagesDb::savingTwiceAddsNothing()
{
    save(sample, target);
    const QList<qint64> first = rowCounts(target);
    const QStringList files = filesBelow(relayFile(target, "var/mobile/Library/SMS/Attachments"));
    QCOMPARE(files.size(), 3); // picture, card, text; the missing file has nothing to copy
    // An existing target is left as it is.
    const QString picture
        = relayFile(target, "var/mobile/Library/SMS/Attachments/" + files.first());
    QFile edited(picture);
    QVERIFY(edited.open(QIODevice::WriteOnly));
    edited.write("edited");
    edited.close();

    QCOMPARE(save(sample, target), sample.size());
    QCOMPARE(rowCounts(target), first);
    QCOMPARE(filesBelow(relayFile(target, "var/mobile/Library/SMS/Attachments")), files);
    QCOMPARE(fileBytes(picture), QByteArray("edited"));
}

void TestExportMessagesDb::foundMessageGetsItsMissingAttachmentBack()
{
    save(sample, target);
    const QList<qint64> first = rowCounts(target);
    const _MsgAttachment *card = nullptr;
    for (const _MsgAttachment *a : builder->set->attachmentMap)
        card = a->mime_type == "text/x-vCard" ? a : card;
    const QString copy = relayFile(target, QString(card->filename).replace("~/", "var/mobile/"));
    QVERIFY(QFile::remove(copy));

    save(sample, target);
    QCOMPARE(rowCounts(target), first);
    QCOMPARE(fileBytes(copy), fileBytes(card->localPath));
}

void TestExportMessagesDb::attachmentFilesStayInsideFileRelay_data()
{
    QTest::addColumn<QString>("filename");
    QTest::addColumn<QString>("expected"); // below file-relay; empty: not copied

    QTest::newRow("tilde") << "~/Library/SMS/Attachments/ab/x.jpg"
                           << "var/mobile/Library/SMS/Attachments/ab/x.jpg";
    QTest::newRow("absolute, odd characters") << "/var/mobile/Library/SMS/a:b*?<>|\"c.jpg"
                                              << "var/mobile/Library/SMS/abc.jpg";
    QTest::newRow("climbs out") << "~/../../../../escape.jpg"
                                << "";
    QTest::newRow("climbs out absolute") << "/../escape.jpg"
                                         << "";
}

void TestExportMessagesDb::attachmentFilesStayInsideFileRelay()
{
    QFETCH(QString, filename);
    QFETCH(QString, expected);
    _MsgMessage *m = sample.first();
    _MsgAttachment *a = builder->attach(m, "picture.jpg", "image/jpeg", "bytes");
    a->filename = filename;

    QCOMPARE(save({ m }, target), 1);
    QStringList outside = filesBelow(tmp->path());
    outside = outside.filter(QRegularExpression("escape"));
    QVERIFY2(outside.isEmpty(), qPrintable(outside.join(',')));
    if (!expected.isEmpty())
        QCOMPARE(fileBytes(relayFile(target, expected)), QByteArray("bytes"));
    // The row is kept either way.
    QCOMPARE(rowCounts(target).at(3), qint64(1));
}

void TestExportMessagesDb::skipsMessagesWithoutKnownChat()
{
    _MsgMessage *orphan = builder->message(nullptr, nullptr, 500000000, "no chat");
    _MsgChat *carved = builder->chat("unknown", {});
    carved->rowid = -2047483647;
    _MsgMessage *unknown = builder->message(carved, nullptr, 500000001, "unknown chat");

    QTest::ignoreMessage(QtDebugMsg, "IOS6RestoreMessagesThread skip message with empty chat.");
    QTest::ignoreMessage(QtDebugMsg, "IOS6RestoreMessagesThread skip message with unknown chat.");
    QCOMPARE(save({ orphan, sample.first(), unknown }, target), 1);
    QCOMPARE(rowCounts(target).first(), qint64(1));
}

void TestExportMessagesDb::rollbackLeavesDatabaseAndFilesAsBefore()
{
    const MsgMessageList firstHalf = sample.mid(0, 4);
    save(firstHalf, target);
    const QList<qint64> before = rowCounts(target);
    const QStringList filesBefore = filesBelow(target);
    {
        ExportMessagesDb writer { QDir(target), QString() };
        writer.begin();
        for (_MsgMessage *m : sample)
            writer.write(m);
        QVERIFY(filesBelow(target).size() > filesBefore.size());
    }
    QCOMPARE(rowCounts(target), before);
    QCOMPARE(filesBelow(target), filesBefore);
}

void TestExportMessagesDb::rollbackOfNewDatabaseLeavesNothing()
{
    QVERIFY(QDir().mkpath(target));
    ExportMessagesDb writer { QDir(target), QString() };
    writer.begin();
    for (_MsgMessage *m : sample)
        writer.write(m);
    writer.rollback();
    QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList());
}

void TestExportMessagesDb::newDatabaseAppearsOnlyWhenComplete_data()
{
    QTest::addColumn<bool>("emptyFolderThere");
    QTest::newRow("no folder") << false;
    QTest::newRow("empty folder") << true;
}

void TestExportMessagesDb::newDatabaseAppearsOnlyWhenComplete()
{
    QFETCH(bool, emptyFolderThere);
    if (emptyFolderThere)
        QVERIFY(QDir().mkpath(target));
    ExportMessagesDb writer { QDir(target), QString() };
    writer.begin();
    for (_MsgMessage *m : sample)
        writer.write(m);
    QCOMPARE(QFileInfo::exists(target), emptyFolderThere);
    QCOMPARE(entriesOf(target), QStringList());
    writer.end();
    QCOMPARE(rowCounts(target).first(), qint64(sample.size()));
    QCOMPARE(missingFiles(target), QStringList { "gone.mov" });
    // Nothing of the save is left beside the database.
    QCOMPARE(entriesOf(tmp->path()).filter(QRegularExpression("^\\.")), QStringList());
}

void TestExportMessagesDb::secondWriterIsRefusedAndTouchesNothing_data()
{
    QTest::addColumn<bool>("existing");
    QTest::newRow("into an existing database") << true;
    QTest::newRow("into a new database") << false;
}

void TestExportMessagesDb::secondWriterIsRefusedAndTouchesNothing()
{
    QFETCH(bool, existing);
    if (existing)
        save(sample.mid(0, 1), target);
    ExportMessagesDb first { QDir(target), QString() };
    first.begin();
    for (_MsgMessage *m : sample)
        first.write(m);
    {
        // As a second window would, in the same process.
        ExportMessagesDb second { QDir(target), QString() };
        try {
            second.begin();
            QFAIL("the second writer was let in");
        } catch (const std::runtime_error &e) {
            QCOMPARE(QString::fromUtf8(e.what()),
                QStringLiteral("Another window is writing into the local database \"localdb\". "
                               "Please try again when it has finished."));
        }
    }
    first.end();
    QCOMPARE(first.written(), sample.size());
    QCOMPARE(rowCounts(target).first(), qint64(sample.size()));
    QCOMPARE(missingFiles(target), QStringList { "gone.mov" });
    // The lock is free again.
    QCOMPARE(save(sample.mid(0, 1), target), 1);
}

// A writer killed while it held the database leaves nothing that holds the next save back,
// and nothing beside the database; also where the data folder is on SMB, which removes no
// file that is open.
void TestExportMessagesDb::killedWritersLockDoesNotHoldSavesBack_data()
{
    QTest::addColumn<FileSystemSeam>("seam");
    QTest::newRow("local") << FileSystemSeam();
    QTest::newRow("smb") << FileSystemSeam::smb();
}

void TestExportMessagesDb::killedWritersLockDoesNotHoldSavesBack()
{
    QFETCH(FileSystemSeam, seam);
    const ScopedFileSystemSeam scoped(seam);
    save(sample.mid(0, 1), target);
    QVERIFY(runThenDie([&] {
        // Never destroyed: the child dies holding it.
        auto *killed = new ExportMessagesDb(QDir(target), QString());
        killed->begin();
        for (_MsgMessage *m : qAsConst(sample))
            killed->write(m);
    }));
    QCOMPARE(save(sample, target), sample.size());
    QCOMPARE(entriesOf(tmp->path()).filter(QRegularExpression("^\\.")), QStringList());
}

// SMB may refuse to remove a file at the moment it was closed, as SQLite removes its journal
// after a commit.
void TestExportMessagesDb::savesWhereAJournalIsNotRemovedAtOnce()
{
    FileSystemSeam seam = FileSystemSeam::smb();
    seam.busyRemovalOf = "-journal";
    const ScopedFileSystemSeam scoped(seam);
    QCOMPARE(save(sample.mid(0, 4), target), 4);
    QCOMPARE(save(sample, target), sample.size());
    QCOMPARE(rowCounts(target).first(), qint64(sample.size()));
}

// Whatever the file system of the data folder lacks (locks, unnamed files, no-replace
// renames, links, renaming or removing what is open, opening for append), a save into a new
// database and again into it ends whole and leaves nothing of its own beside it.
void TestExportMessagesDb::savesEndWholeOnEveryFileSystem_data()
{
    QTest::addColumn<FileSystemSeam>("seam");
    for (const auto &seam : FileSystemSeam::named())
        QTest::newRow(seam.first) << seam.second;
}

void TestExportMessagesDb::savesEndWholeOnEveryFileSystem()
{
    QFETCH(FileSystemSeam, seam);
    const ScopedFileSystemSeam scoped(seam);
    QCOMPARE(save(sample.mid(0, 4), target), 4);
    const QStringList files = filesBelow(target);
    QCOMPARE(save(sample, target), sample.size());
    QCOMPARE(rowCounts(target).first(), qint64(sample.size()));
    QCOMPARE(missingFiles(target), QStringList { "gone.mov" });
    QVERIFY(filesBelow(target).size() > files.size());
    QCOMPARE(filesBelow(target).filter(".partial"), QStringList());
    QCOMPARE(entriesOf(tmp->path()).filter(QRegularExpression("^\\.")), QStringList());
}

void TestExportMessagesDb::workerSavesAndReportsCount()
{
    _MsgMessage *orphan = builder->message(nullptr, nullptr, 500000000, "no chat");
    MsgMessageList list = sample;
    list.append(orphan);
    std::reverse(list.begin(), list.end());
    RecordingProgressForm form;
    BackupSMSThread worker(list, QDir(target), QString(), &form);
    QTest::ignoreMessage(QtDebugMsg, "IOS6RestoreMessagesThread skip message with empty chat.");
    QCOMPARE(form.run(worker), 1);
    QCOMPARE(form.errors, QStringList());
    // Skipped messages are not reported as saved.
    QCOMPARE(form.infos,
        QStringList(QStringLiteral("Successfully Backup %1 Messages to local Database.")
                        .arg(sample.size())));
    QCOMPARE(form.statuses.first(), QStringLiteral("Backing up Messages to Local Database..."));
    QCOMPARE(form.values.first(), 0);
    QCOMPARE(form.values.last(), 100);
    QCOMPARE(form.texts.last(), QStringLiteral("Messages: %1/%1").arg(list.size()));
    QCOMPARE(rowCounts(target).first(), qint64(sample.size()));
}

void TestExportMessagesDb::workerCancelledWritesNothing()
{
    save(sample.mid(0, 2), target);
    const QList<qint64> before = rowCounts(target);
    const QStringList filesBefore = filesBelow(target);
    RecordingProgressForm form;
    form.failed = true;
    BackupSMSThread worker(sample, QDir(target), QString(), &form);
    QCOMPARE(form.run(worker), 0);
    QCOMPARE(form.infos, QStringList());
    QCOMPARE(form.errors, QStringList());
    QCOMPARE(rowCounts(target), before);
    QCOMPARE(filesBelow(target), filesBefore);
}

void TestExportMessagesDb::workerReportsDatabaseFailure()
{
    // A folder where the database file should be: it cannot be opened.
    QVERIFY(QDir().mkpath(smsDb(target)));
    RecordingProgressForm form;
    BackupSMSThread worker(sample, QDir(target), QString(), &form);
    QCOMPARE(form.run(worker), 0);
    QCOMPARE(form.infos, QStringList());
    QCOMPARE(form.errors.size(), 1);
}

void TestExportMessagesDb::workerRefusedWhileAnotherWindowWrites()
{
    ExportMessagesDb other { QDir(target), QString() };
    other.begin();
    RecordingProgressForm form;
    BackupSMSThread worker(sample, QDir(target), QString(), &form);
    QCOMPARE(form.run(worker), 0);
    QCOMPARE(form.infos, QStringList());
    QCOMPARE(form.errors.size(), 1);
    QVERIFY2(form.errors.first().contains("\"localdb\"")
            && form.errors.first().contains("Another window is writing"),
        qPrintable(form.errors.first()));
    other.end();
    QCOMPARE(rowCounts(target).first(), qint64(0));
}

void TestExportMessagesDb::workerFailureNamesTheFileAndTheReason_data()
{
    QTest::addColumn<QString>("folderName");
    QTest::addColumn<bool>("existing");
    QTest::addColumn<int>("limit"); // -1: the database file's size; -2: none
    QTest::addColumn<int>("reason");
    QTest::addColumn<QString>("named"); // "database", "lock" or "folder"
    QTest::newRow("database on a full disk") << "localdb" << true << -1 << EFBIG << "database";
    QTest::newRow("new database on a full disk") << "localdb" << false << -1 << EFBIG << "database";
    QTest::newRow("lock on a full disk") << "localdb" << true << 0 << EFBIG << "lock";
    // One more than the longest name a folder entry may have.
    QTest::newRow("name too long") << QString(256, 'n') << false << -2 << ENAMETOOLONG << "folder";
}

void TestExportMessagesDb::workerFailureNamesTheFileAndTheReason()
{
    QFETCH(QString, folderName);
    QFETCH(bool, existing);
    QFETCH(int, limit);
    QFETCH(int, reason);
    QFETCH(QString, named);
    target = tmp->filePath(folderName);
    if (limit == -1) {
        // The size of a database with the first message: the rest does not fit.
        save(sample.mid(0, 1), tmp->filePath("sizer"));
        limit = int(QFileInfo(smsDb(tmp->filePath("sizer"))).size());
    }
    if (existing)
        save(sample.mid(0, 1), target);
    const QList<qint64> before = existing ? rowCounts(target) : QList<qint64>();
    MsgMessageList list = sample;
    const _MsgMessage *first = sample.first();
    list.append(builder->message(first->chat, first->handle, first->date + 1,
        QStringLiteral("more than the disk takes ").repeated(4000)));

    RecordingProgressForm form;
    BackupSMSThread worker(list, QDir(target), QString(), &form);
    {
        std::unique_ptr<FileSizeLimit> full;
        if (limit != -2)
            full.reset(new FileSizeLimit(limit));
        QCOMPARE(form.run(worker), 0);
    }
    QCOMPARE(form.infos, QStringList());
    QCOMPARE(form.errors.size(), 1);
    const QString error = form.errors.first();
    QVERIFY2(error.contains(QString::fromLocal8Bit(std::strerror(reason))), qPrintable(error));
    // Where the database is built until it is complete is never named.
    QVERIFY2(!error.contains(".partial"), qPrintable(error));
    if (named == "lock") {
        QVERIFY2(error.contains(QStringLiteral("Cannot lock the local database \"%1\" for writing")
                                    .arg(folderName)),
            qPrintable(error));
        QVERIFY2(error.contains(writerruns::folder()), qPrintable(error));
    } else {
        QVERIFY2(error.contains(named == "database" ? smsDb(target) : target), qPrintable(error));
    }
    if (existing)
        QCOMPARE(rowCounts(target), before);
    else
        QVERIFY(!QFileInfo::exists(target));
    QCOMPARE(entriesOf(tmp->path()).filter(QRegularExpression("^\\.")), QStringList());
}

QTEST_MAIN(TestExportMessagesDb)
#include "tst_exportmessagesdb.moc"
