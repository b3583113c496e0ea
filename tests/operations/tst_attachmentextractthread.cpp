#include "operations/attachmentextractthread.h"
#include "records/msgidentity.h"
#include "support/filesizelimit.h"
#include "support/foldersnapshot.h"
#include "support/messagesetbuilder.h"
#include "support/recordingprogressform.h"
#include "support/workercontrol.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// Runs an extraction; true when it succeeded. `hook` runs in the worker before each message.
bool extract(RecordingProgressForm &form, const MsgMessageList &list, const QString &target,
    QString *output = nullptr, std::function<void(ProgressForm &, int)> hook = nullptr)
{
    AttachmentExtractThread worker(&form, list, target);
    if (hook)
        worker.setItemHook([&form, hook](int i) { hook(form, i); });
    const bool done = form.run(worker) == 1 && !form.failed;
    if (output)
        *output = worker.outputFolder();
    return done;
}

} // namespace

class TestAttachmentExtractThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(installEnglishTexts()); }
    void copiesEachFileOnceUnderUniqueNamesWithMessageDates();
    void filesNotFoundAreCountedAfterTheSuccessText_data();
    void filesNotFoundAreCountedAfterTheSuccessText();
    void namesStayInsideTheFolder_data();
    void namesStayInsideTheFolder();
    void runInTheSameSecondGetsItsOwnFolder();
    void cancelRemovesOnlyThisRunsFolder_data();
    void cancelRemovesOnlyThisRunsFolder();
    void folderThatCannotBeMadeIsReported();
    void copyThatFailsIsReported();

private:
    QTemporaryDir m_dir;
};

void TestAttachmentExtractThread::copiesEachFileOnceUnderUniqueNamesWithMessageDates()
{
    MessageSetBuilder b(m_dir.filePath(QStringLiteral("src1")));
    _MsgHandle *h = b.handle(QStringLiteral("+15550001"));
    _MsgChat *chat = b.chat(h->id, { h });
    const QString jpeg = QStringLiteral("image/jpeg");
    _MsgMessage *m1 = b.message(chat, h, 400000000, QString());
    _MsgAttachment *shared = b.attach(m1, QStringLiteral("IMG_1.jpg"), jpeg, "first");
    b.attach(m1, QStringLiteral("IMG_1.jpg"), jpeg, "second");
    _MsgMessage *m2 = b.message(chat, nullptr, 400000100, QString(), true);
    b.attach(m2, QStringLiteral("gone.jpg"), jpeg, QByteArray());
    // The same file shown again by two more messages, once under a path spelled differently.
    b.message(chat, h, 400000200, QString())->attachments.insert(QStringLiteral("99"), shared);
    auto *again = new _MsgAttachment(*shared);
    again->localPath = QFileInfo(shared->localPath).absolutePath() + QStringLiteral("/../")
        + QFileInfo(shared->localPath).dir().dirName() + QStringLiteral("/IMG_1.jpg");
    b.set->attachmentMap.insert(99, again);
    m2->attachments.insert(QStringLiteral("98"), again);

    const QString target = m_dir.filePath(QStringLiteral("out1/attachments(20240101-101010)"));
    RecordingProgressForm form;
    QString output;
    QVERIFY(extract(form, b.messages(), target, &output));
    QCOMPARE(output, target);
    QCOMPARE(form.infos,
        QStringList { QStringLiteral("Successfully extacted 2 MMS attachment to %1. 1 attachment "
                                     "could not be found: %2.")
                          .arg(target, m2->attachments.first()->localPath) });
    QCOMPARE(form.statuses.first(), QStringLiteral("Extracting MMS attachment now.Please wait..."));
    QCOMPARE(form.values, (QList<int> { 33, 66, 100 }));
    QCOMPARE(entries(target),
        (QStringList { QStringLiteral("IMG_1(1).jpg"), QStringLiteral("IMG_1.jpg") }));
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

void TestAttachmentExtractThread::filesNotFoundAreCountedAfterTheSuccessText_data()
{
    QTest::addColumn<int>("present");
    QTest::addColumn<int>("missing");
    QTest::addColumn<QString>("said"); // %1: the first file not found
    QTest::newRow("none missing") << 2 << 0 << "";
    QTest::newRow("one missing") << 1 << 1 << " 1 attachment could not be found: %1.";
    QTest::newRow("several missing")
        << 1 << 3 << " 3 attachments could not be found, the first: %1.";
    QTest::newRow("all missing") << 0 << 2 << " 2 attachments could not be found, the first: %1.";
}

void TestAttachmentExtractThread::filesNotFoundAreCountedAfterTheSuccessText()
{
    QFETCH(int, present);
    QFETCH(int, missing);
    QFETCH(QString, said);
    const QString base = m_dir.filePath(QStringLiteral("missing/%1").arg(QTest::currentDataTag()));
    MessageSetBuilder b(base + QStringLiteral("/src"));
    _MsgHandle *h = b.handle(QStringLiteral("+15550001"));
    _MsgChat *chat = b.chat(h->id, { h });
    const QString jpeg = QStringLiteral("image/jpeg");
    // Found and missing files alternate, so that the first missing is not the first file.
    QList<_MsgAttachment *> notFound;
    for (int i = 0; i < qMax(present, missing); ++i) {
        if (i < present)
            b.attach(b.message(chat, h, 1000 + 2 * i, QString()),
                QStringLiteral("here%1.jpg").arg(i), jpeg, "x");
        if (i < missing)
            notFound << b.attach(b.message(chat, h, 1001 + 2 * i, QString()),
                QStringLiteral("gone%1.jpg").arg(i), jpeg, QByteArray());
    }
    // A missing file shown by a second message is still one file.
    if (missing > 0) {
        b.message(chat, h, 2000, QString())
            ->attachments.insert(QStringLiteral("99"), notFound.first());
        said.replace("%1", notFound.first()->localPath);
    }
    const QString target = base + QStringLiteral("/out");
    RecordingProgressForm form;
    QVERIFY(extract(form, b.messages(), target));
    QCOMPARE(form.infos,
        QStringList { QStringLiteral("Successfully extacted %1 MMS attachment to %2.")
                          .arg(present)
                          .arg(target)
            + said });
    QCOMPARE(entries(target).size(), present);
}

void TestAttachmentExtractThread::namesStayInsideTheFolder_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("expected");
    QTest::newRow("forbidden characters") << "~/Library/SMS/x/ph:o*t?o|.jpg"
                                          << "photo.jpg";
    QTest::newRow("parent folder name") << "~/Library/SMS/.."
                                        << "local.bin";
    QTest::newRow("no stored name") << ""
                                    << "local.bin";
    QTest::newRow("only blanks") << "~/Library/   "
                                 << "local.bin";
    QTest::newRow("backslashes") << "~/x/..\\..\\evil.jpg"
                                 << "....evil.jpg";
    const QString longName(300, QLatin1Char('a'));
    QTest::newRow("longer than a file name may be")
        << "~/Library/" + longName + ".jpg" << longName.left(196) + ".jpg";
}

void TestAttachmentExtractThread::namesStayInsideTheFolder()
{
    QFETCH(QString, stored);
    QFETCH(QString, expected);
    MessageSetBuilder b(m_dir.filePath(QStringLiteral("names-src")));
    _MsgHandle *h = b.handle(QStringLiteral("+15550001"));
    b.attach(b.message(b.chat(h->id, { h }), h, 1000, QString()), QStringLiteral("local.bin"),
         QStringLiteral("image/jpeg"), "x")
        ->filename
        = stored;
    const QString target = m_dir.filePath(QStringLiteral("names/%1").arg(QTest::currentDataTag()));
    RecordingProgressForm form;
    QVERIFY(extract(form, b.messages(), target));
    QCOMPARE(entries(target), QStringList { expected });
}

void TestAttachmentExtractThread::runInTheSameSecondGetsItsOwnFolder()
{
    MessageSetBuilder b(m_dir.filePath(QStringLiteral("same-src")));
    _MsgHandle *h = b.handle(QStringLiteral("+15550001"));
    b.attach(b.message(b.chat(h->id, { h }), h, 1000, QString()), QStringLiteral("a.jpg"),
        QStringLiteral("image/jpeg"), "x");
    const QString target = m_dir.filePath(QStringLiteral("same/attachments(20240101-101010)"));
    QVERIFY(QDir().mkpath(target));
    QFile earlier(target + QStringLiteral("/a.jpg"));
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("earlier run");
    earlier.close();

    RecordingProgressForm form;
    QString output;
    QVERIFY(extract(form, b.messages(), target, &output));
    QCOMPARE(output, m_dir.filePath(QStringLiteral("same/attachments(20240101-101010)(1)")));
    QVERIFY(form.infos.first().endsWith(output + QLatin1Char('.')));
    QCOMPARE(entries(target), QStringList { QStringLiteral("a.jpg") });
    QCOMPARE(fileBytes(target + QStringLiteral("/a.jpg")), QByteArray("earlier run"));
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
    const QString base = m_dir.filePath(QStringLiteral("cancel%1").arg(at));
    MessageSetBuilder b(base + QStringLiteral("/src"));
    _MsgHandle *h = b.handle(QStringLiteral("+15550001"));
    _MsgChat *chat = b.chat(h->id, { h });
    for (int i = 0; i < 4; ++i)
        b.attach(b.message(chat, h, 1000 + i, QString()), QStringLiteral("f%1.jpg").arg(i),
            QStringLiteral("image/jpeg"), "x");
    const QString out = base + QStringLiteral("/out");
    QVERIFY(QDir().mkpath(out));
    QFile sibling(out + QStringLiteral("/other.txt"));
    QVERIFY(sibling.open(QIODevice::WriteOnly));
    sibling.write("keep");
    sibling.close();
    const auto before = snapshotFolder(base);

    RecordingProgressForm form;
    QString output;
    QVERIFY(!extract(form, b.messages(), out + QStringLiteral("/attachments(1)"), &output,
        [at](ProgressForm &dialog, int i) {
            if (i == at)
                cancelFromWorker(dialog);
        }));
    QVERIFY(form.infos.isEmpty() && form.errors.isEmpty());
    QVERIFY(!output.isEmpty() && !QFileInfo::exists(output));
    QCOMPARE(snapshotFolder(base), before);
}

void TestAttachmentExtractThread::folderThatCannotBeMadeIsReported()
{
    QFile blocker(m_dir.filePath(QStringLiteral("blocker")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    RecordingProgressForm form;
    QVERIFY(!extract(form, {}, blocker.fileName() + QStringLiteral("/attachments(1)")));
    QCOMPARE(form.errors.size(), 1);
    QVERIFY(form.errors.first().contains(QStringLiteral("can not create folder")));
}

void TestAttachmentExtractThread::copyThatFailsIsReported()
{
    MessageSetBuilder b(m_dir.filePath(QStringLiteral("full-src")));
    _MsgHandle *h = b.handle(QStringLiteral("+15550001"));
    _MsgChat *chat = b.chat(h->id, { h });
    const QString jpeg = QStringLiteral("image/jpeg");
    b.attach(b.message(chat, h, 1000, QString()), QStringLiteral("small.jpg"), jpeg, "x");
    b.attach(b.message(chat, h, 1001, QString()), QStringLiteral("big.jpg"), jpeg,
        QByteArray(600 * 1024, 'x'));
    const QString target = m_dir.filePath(QStringLiteral("full/attachments(1)"));
    RecordingProgressForm form;
    bool done = false;
    {
        FileSizeLimit full(512 * 1024);
        done = extract(form, b.messages(), target);
    }
    QVERIFY(!done);
    QVERIFY(form.infos.isEmpty());
    QCOMPARE(form.errors.size(), 1);
    QVERIFY2(form.errors.first().contains(
                 QStringLiteral("1 of 2 attachments could not be extracted to %1.").arg(target)),
        qPrintable(form.errors.first()));
    QVERIFY(form.errors.first().contains(QStringLiteral("big.jpg")));
    // The copy made stays, and nothing of the failed one is left.
    QCOMPARE(entries(target), QStringList { QStringLiteral("small.jpg") });
}

QTEST_MAIN(TestAttachmentExtractThread)
#include "tst_attachmentextractthread.moc"
