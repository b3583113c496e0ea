#include "messages/msgidentity.h"
#include "operations/attachmentextractthread.h"
#include "shell/progressform.h"
#include "support/foldersnapshot.h"
#include "support/messagesetbuilder.h"
#include "support/workerrunner.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

QString writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
    return path;
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
        QDir::Name);
}

WorkerRun extract(const MsgMessageList &list, const QString &target, QString *output = nullptr,
    std::function<void(ProgressForm &, int)> hook = nullptr)
{
    ProgressForm form { QString() };
    AttachmentExtractThread worker(&form, list, target);
    if (hook)
        worker.setItemHook([&form, hook](int i) { hook(form, i); });
    const WorkerRun run = runWorker(worker, form);
    if (output)
        *output = worker.outputFolder();
    return run;
}

} // namespace

class TestAttachmentExtractThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(installEnglishTexts()); }
    void copiesEachFileOnceUnderUniqueNamesWithMessageDates();
    void namesStayInsideTheFolder_data();
    void namesStayInsideTheFolder();
    void runInTheSameSecondGetsItsOwnFolder();
    void cancelRemovesOnlyThisRunsFolder_data();
    void cancelRemovesOnlyThisRunsFolder();
    void folderThatCannotBeMadeIsReported();

private:
    QTemporaryDir m_dir;
};

void TestAttachmentExtractThread::copiesEachFileOnceUnderUniqueNamesWithMessageDates()
{
    MessageSetBuilder b;
    _MsgHandle *h = b.handle(QStringLiteral("+15550001"));
    _MsgChat *chat = b.chat({ h });
    const QString src = m_dir.filePath(QStringLiteral("src1"));
    _MsgMessage *m1 = b.message(chat, h, 400000000, QString());
    _MsgAttachment *shared = b.attach(m1, QStringLiteral("~/Library/SMS/Attachments/aa/01/IMG_1.jpg"),
        writeFile(src + QStringLiteral("/a/IMG_1.jpg"), "first"));
    b.attach(m1, QStringLiteral("~/Library/SMS/Attachments/bb/02/IMG_1.jpg"),
        writeFile(src + QStringLiteral("/b/IMG_1.jpg"), "second"));
    _MsgMessage *m2 = b.message(chat, nullptr, 400000100, QString());
    b.attach(m2, QStringLiteral("~/Library/SMS/Attachments/cc/03/gone.jpg"),
        src + QStringLiteral("/missing.jpg"));
    _MsgMessage *m3 = b.message(chat, h, 400000200, QString());
    // The same file shown by a second message, under a path spelled differently.
    m3->attachments.insert(QStringLiteral("99"), shared);
    auto *again = new _MsgAttachment(*shared);
    again->localPath = src + QStringLiteral("/a/../a/IMG_1.jpg");
    b.set->attachmentMap.insert(99, again);
    m2->attachments.insert(QStringLiteral("98"), again);

    const QString target = m_dir.filePath(QStringLiteral("out1/attachments(20240101-101010)"));
    QString output;
    const WorkerRun run = extract(b.messages(), target, &output);
    QVERIFY(run.done());
    QCOMPARE(output, target);
    QCOMPARE(run.infos,
        QStringList { QStringLiteral("Successfully extacted 2 MMS attachment to %1.").arg(target) });
    QCOMPARE(run.status, QStringLiteral("Extracting MMS attachment now.Please wait..."));
    QCOMPARE(run.progress.last(), 100);
    QCOMPARE(entries(target), (QStringList { QStringLiteral("IMG_1(1).jpg"), QStringLiteral("IMG_1.jpg") }));
    // Times first: reading a file may move its access time.
    const qint64 expected = 400000000 + RecordEpochOffset;
    for (const QString &name : entries(target)) {
        const QFileInfo info(target + QLatin1Char('/') + name);
        QCOMPARE(info.lastModified().toSecsSinceEpoch(), expected);
        QCOMPARE(info.lastRead().toSecsSinceEpoch(), expected);
    }
    QCOMPARE(fileBytes(target + QStringLiteral("/IMG_1.jpg")), QByteArray("first"));
    QCOMPARE(fileBytes(target + QStringLiteral("/IMG_1(1).jpg")), QByteArray("second"));
}

void TestAttachmentExtractThread::namesStayInsideTheFolder_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("expected");
    QTest::newRow("forbidden characters") << "~/Library/SMS/x/ph:o*t?o|.jpg"
                                          << "photo.jpg";
    QTest::newRow("parent folder name") << "~/Library/SMS/.." << "local.bin";
    QTest::newRow("no stored name") << "" << "local.bin";
    QTest::newRow("only blanks") << "~/Library/   " << "local.bin";
    QTest::newRow("backslashes") << "~/x/..\\..\\evil.jpg" << "....evil.jpg";
}

void TestAttachmentExtractThread::namesStayInsideTheFolder()
{
    QFETCH(QString, stored);
    QFETCH(QString, expected);
    MessageSetBuilder b;
    _MsgHandle *h = b.handle(QStringLiteral("+15550001"));
    b.attach(b.message(b.chat({ h }), h, 1000, QString()), stored,
        writeFile(m_dir.filePath(QStringLiteral("names/src/local.bin")), "x"));
    const QString target = m_dir.filePath(QStringLiteral("names/%1").arg(QTest::currentDataTag()));
    QVERIFY(extract(b.messages(), target).done());
    QCOMPARE(entries(target), QStringList { expected });
}

void TestAttachmentExtractThread::runInTheSameSecondGetsItsOwnFolder()
{
    MessageSetBuilder b;
    _MsgHandle *h = b.handle(QStringLiteral("+15550001"));
    b.attach(b.message(b.chat({ h }), h, 1000, QString()), QStringLiteral("~/Library/a.jpg"),
        writeFile(m_dir.filePath(QStringLiteral("same/src/a.jpg")), "x"));
    const QString target = m_dir.filePath(QStringLiteral("same/attachments(20240101-101010)"));
    writeFile(target + QStringLiteral("/a.jpg"), "earlier run");

    QString output;
    const WorkerRun run = extract(b.messages(), target, &output);
    QVERIFY(run.done());
    QCOMPARE(output, m_dir.filePath(QStringLiteral("same/attachments(20240101-101010)(1)")));
    QVERIFY(run.infos.first().endsWith(output + QLatin1Char('.')));
    QCOMPARE(fileBytes(target + QStringLiteral("/a.jpg")), QByteArray("earlier run"));
    QCOMPARE(entries(target).size(), 1);
    QCOMPARE(fileBytes(output + QStringLiteral("/a.jpg")), QByteArray("x"));
}

void TestAttachmentExtractThread::cancelRemovesOnlyThisRunsFolder_data()
{
    QTest::addColumn<int>("at");
    QTest::newRow("before the first message") << 1;
    QTest::newRow("after copies were made") << 3;
}

void TestAttachmentExtractThread::cancelRemovesOnlyThisRunsFolder()
{
    QFETCH(int, at);
    MessageSetBuilder b;
    _MsgHandle *h = b.handle(QStringLiteral("+15550001"));
    _MsgChat *chat = b.chat({ h });
    const QString base = m_dir.filePath(QStringLiteral("cancel%1").arg(at));
    for (int i = 0; i < 4; ++i)
        b.attach(b.message(chat, h, 1000 + i, QString()), QStringLiteral("~/f%1.jpg").arg(i),
            writeFile(base + QStringLiteral("/src/f%1.jpg").arg(i), "x"));
    const QString sibling = writeFile(base + QStringLiteral("/out/other.txt"), "keep");
    const QString target = base + QStringLiteral("/out/attachments(1)");

    QString output;
    const WorkerRun run = extract(b.messages(), target, &output, [at](ProgressForm &form, int i) {
        if (i == at)
            cancelFromWorker(form);
    });
    QCOMPARE(run.result, 0);
    QVERIFY(run.infos.isEmpty() && run.errors.isEmpty());
    QVERIFY(!QFileInfo::exists(output));
    QCOMPARE(fileBytes(sibling), QByteArray("keep"));
    QCOMPARE(entries(base + QStringLiteral("/src")).size(), 4);
}

void TestAttachmentExtractThread::folderThatCannotBeMadeIsReported()
{
    const QString blocker = writeFile(m_dir.filePath(QStringLiteral("blocker")), "a file");
    const WorkerRun run = extract({}, blocker + QStringLiteral("/attachments(1)"));
    QCOMPARE(run.result, 0);
    QCOMPARE(run.errors.size(), 1);
    QVERIFY(run.errors.first().contains(QStringLiteral("can not create folder")));
}

QTEST_MAIN(TestAttachmentExtractThread)
#include "tst_attachmentextractthread.moc"
