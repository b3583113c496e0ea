// Kills a save into a local database again and again, anywhere in its work, and checks that
// after the next save the database holds whole saves only and every file below it belongs to
// a row, and that every local database listed holds whole saves, a new one included. Run
// with "--save-forever FOLDER" the binary is that writer.
#include "messages/ios6messagedb.h"
#include "operations/exportmessagesdb.h"
#include "platform/samplephones/fixturedb.h"
#include "support/killedwriter.h"
#include "support/messagesetbuilder.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char kWriterFlag[] = "--save-forever";
const int kMessagesPerSave = 10;

QString databasesFolder(const QString &folder)
{
    return QDir(folder).filePath(QStringLiteral("local_databases"));
}

QString databaseFolder(const QString &folder)
{
    return QDir(databasesFolder(folder)).filePath(QStringLiteral("db"));
}

// Each save adds ten messages with a picture each, in a chat of their own: odd saves into a
// new database each (the first one too, where most kills fall), even ones into one database.
// Never returns.
int saveForever(const QString &folder)
{
    const QString pictures = QDir(folder).filePath(QStringLiteral("pictures"));
    const QByteArray picture(64 * 1024, 'p');
    announceWriterReady();
    for (int save = 1;; ++save) {
        QDir(pictures).removeRecursively();
        MessageSetBuilder builder(pictures);
        const QString tag
            = QStringLiteral("%1-%2").arg(QCoreApplication::applicationPid()).arg(save);
        _MsgHandle *h = builder.handle(QStringLiteral("+1555%1").arg(save % 1000));
        _MsgChat *chat = builder.chat(h->id, { h });
        chat->guid = QStringLiteral("SMS;-;") + tag;
        for (int i = 0; i < kMessagesPerSave; ++i) {
            _MsgMessage *m = builder.message(chat, h, 1000 + save, QStringLiteral("m%1").arg(i));
            m->guid = QStringLiteral("%1-%2").arg(tag).arg(i);
            _MsgAttachment *a = builder.attach(m, QStringLiteral("%1-%2.jpg").arg(tag).arg(i),
                QStringLiteral("image/jpeg"), picture);
            a->guid = m->guid;
        }
        const QString target = save % 2 == 0
            ? databaseFolder(folder)
            : QDir(databasesFolder(folder)).filePath(QStringLiteral("new-") + tag);
        ExportMessagesDb writer { QDir(target), QString() };
        writer.begin();
        for (_MsgMessage *m : builder.messages())
            writer.write(m);
        writer.end();
    }
}

// Empty when every save is whole, every picture row has its file and every file below the
// database folder belongs to a row; else what is wrong.
QString problemOf(const QString &folder)
{
    IOS6MessageDb db(QDir(folder), QString(), false);
    db.open();
    Sqlite3Cursor saves = db.queryThrow(
        Sqlite3Sql("select count(*) from chat c join chat_message_join j on j.chat_id=c.rowid "
                   "group by c.rowid"));
    while (saves.moveNext()) {
        if (saves.getInt(0) != kMessagesPerSave)
            return QStringLiteral("a save holds %1 messages").arg(saves.getInt(0));
    }
    // SQLite's own journal may stay after a kill: the database deals with it.
    const QString database = QDir::cleanPath(db.smsDbPath());
    QSet<QString> used { database, database + QStringLiteral("-journal") };
    Sqlite3Cursor files = db.queryThrow(Sqlite3Sql("select filename from attachment"));
    while (files.moveNext()) {
        const QString path = db.attachmentLocalPath(files.getText(0));
        if (!QFileInfo(path).isFile())
            return QStringLiteral("%1 has no file").arg(files.getText(0));
        used.insert(path);
    }
    db.close();
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo entry(it.next());
        if (entry.isDir() ? QDir(entry.filePath())
                                .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                          : !used.contains(entry.filePath()))
            return QStringLiteral("stray %1").arg(QDir(folder).relativeFilePath(entry.filePath()));
    }
    return QString();
}

// Empty when every local database that the window would list has a database file and whole
// saves only, a new one exactly one save; else what is wrong.
QString listedProblemOf(const QString &folder)
{
    const QDir databases(databasesFolder(folder));
    for (const QString &name : databases.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString database = databases.filePath(name);
        IOS6MessageDb db(QDir(database), QString(), false);
        if (!QFileInfo(db.smsDbPath()).isFile())
            return QStringLiteral("%1 is listed without a database").arg(name);
        QString problem = problemOf(database);
        if (problem.isEmpty() && name != QLatin1String("db")) {
            db.open();
            const qint64 messages = firstInt64(db, "select count(*) from message");
            if (messages != kMessagesPerSave)
                problem = QStringLiteral("it holds %1 messages").arg(messages);
        }
        if (!problem.isEmpty())
            return QStringLiteral("%1: %2").arg(name, problem);
    }
    return QString();
}

} // namespace

class TestExportMessagesDbKilled : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The country table is copied into the program's data folder below HOME.
        qputenv("HOME", m_home.path().toUtf8());
    }
    void killedSaveLeavesWholeSavesAndNoStrayFiles();

private:
    QTemporaryDir m_home;
};

void TestExportMessagesDbKilled::killedSaveLeavesWholeSavesAndNoStrayFiles()
{
    QTemporaryDir dir;
    const QString folder = dir.path();
    KillDelays delays;
    for (int kill = 0; kill < 40; ++kill) {
        QString why;
        QVERIFY2(killWriterAfter(kWriterFlag, folder, delays.next(5, 200), &why), qPrintable(why));
        // The next save, which writes nothing here.
        {
            ExportMessagesDb next(QDir(databaseFolder(folder)), QString());
            next.begin();
            next.end();
        }
        const QString problem = listedProblemOf(folder);
        QVERIFY2(problem.isEmpty(),
            qPrintable(QStringLiteral("%1 after kill %2").arg(problem).arg(kill)));
    }
    // The writer got through whole saves between the kills.
    const auto messages = [&] {
        IOS6MessageDb db(QDir(databaseFolder(folder)), QString(), false);
        db.open();
        return firstInt64(db, "select count(*) from message");
    };
    QString why;
    QVERIFY2(letWriterProgress(kWriterFlag, folder, messages, 10 * kMessagesPerSave, &why),
        qPrintable(why));
}

QM_TEST_MAIN_WITH_WRITER(TestExportMessagesDbKilled, kWriterFlag, saveForever)

#include "tst_exportmessagesdb_killed.moc"
