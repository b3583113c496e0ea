#include "messages/ios6messagedb.h"
#include "operations/exportmessagesdb.h"
#include "operations/exportmessagesthread.h"
#include "operations/textattachment.h"
#include "platform/durablefile/durablefile.h"
#include "records/msgidentity.h"
#include "support/externaltool.h"
#include "support/filesizelimit.h"
#include "support/filesystemseam.h"
#include "support/foldersnapshot.h"
#include "support/killedwriter.h"
#include "support/messagesetbuilder.h"
#include "support/recordingprogressform.h"
#include "support/workercontrol.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>

Q_DECLARE_METATYPE(FileSystemSeam)

namespace {

struct Outcome
{
    int result = -1;
    QStringList infos;
    QStringList errors;
    QList<int> values;
    QStringList texts;
    QStringList statuses;
};

Outcome runExport(
    const MsgMessageList &list, const QString &path, unsigned int format, bool cancelled = false)
{
    RecordingProgressForm form;
    form.failed = cancelled;
    ExportMessagesThread worker(list, path, format, &form);
    Outcome outcome;
    outcome.result = form.run(worker);
    outcome.infos = form.infos;
    outcome.errors = form.errors;
    outcome.values = form.values;
    outcome.texts = form.texts;
    outcome.statuses = form.statuses;
    return outcome;
}

// Every entry below a folder, relative, sorted.
QStringList entriesBelow(const QString &folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
        QDirIterator::Subdirectories);
    while (it.hasNext())
        entries.append(QDir(folder).relativeFilePath(it.next()));
    entries.sort();
    return entries;
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QString success(int count)
{
    return QStringLiteral("Successfully exported %1 Messages.").arg(count);
}

} // namespace

class TestExportMessagesThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void csvAndTextHaveOneRowPerMessage();
    void pdfHasOneFilePerChat();
    void htmlPagesParseAndEveryLinkExists();
    void databaseExportReadsBack();
    void progressForThreeMessages();
    void emptyListSucceedsWithZero_data();
    void emptyListSucceedsWithZero();
    void unsupportedFormatFails();
    void cancelRemovesOnlyWhatTheRunCreated_data();
    void cancelRemovesOnlyWhatTheRunCreated();
    void fullDiskFailsAndRemovesOnlyWhatTheRunCreated_data();
    void fullDiskFailsAndRemovesOnlyWhatTheRunCreated();
    void targetThatIsAFileFailsAndStays();
    void secondExportIntoOneFolderFailsAndTheFirstIsWhole_data();
    void secondExportIntoOneFolderFailsAndTheFirstIsWhole();
    void exportsEndWholeOnEveryFileSystem_data();
    void exportsEndWholeOnEveryFileSystem();
    void killedRunsPartialPicturesGoWithTheNextExport();
    void usersEntriesOfAnyNameStay_data();
    void usersEntriesOfAnyNameStay();
    void chatsNeverShareAFile();
    void smsAndIMessageChatOfOneNumberShareAFile_data();
    void smsAndIMessageChatOfOneNumberShareAFile();
    void cutTextAttachmentIsCopiedWholeBesideThePage_data();
    void cutTextAttachmentIsCopiedWholeBesideThePage();
    void hundredThousandRowsInOrder_data();
    void hundredThousandRowsInOrder();

private:
    // The sample chats saved into a local database and read back from it.
    MsgMessageList sampleFromDatabase();

    // The data folder is fixed at its first use, so its home outlives every test's own folder.
    QTemporaryDir home;
    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<MessageSetBuilder> builder;
    QSharedPointer<MsgMessageSet> loaded;
};

void TestExportMessagesThread::initTestCase()
{
    QVERIFY(home.isValid());
    qputenv("HOME", QFile::encodeName(home.path()));
    QVERIFY(installEnglishTexts());
}

void TestExportMessagesThread::init()
{
    tmp.reset(new QTemporaryDir);
    QVERIFY(tmp->isValid());
    builder.reset(new MessageSetBuilder(tmp->filePath("source")));
    loaded.reset();
}

MsgMessageList TestExportMessagesThread::sampleFromDatabase()
{
    const MsgMessageList sample = buildSampleChats(*builder);
    const QDir folder(tmp->filePath("sampledb"));
    {
        ExportMessagesDb writer(folder, QString());
        writer.begin();
        for (_MsgMessage *m : sample)
            writer.write(m);
        writer.end();
    }
    IOS6MessageDb db(folder, QString(), false);
    MsgMessageSet::create(loaded);
    db.chats(loaded);
    db.messages(loaded, 0);
    return loaded->messages();
}

void TestExportMessagesThread::csvAndTextHaveOneRowPerMessage()
{
    QM_FIND_TOOL(python, "python3");
    const MsgMessageList list = sampleFromDatabase();
    const QString csv = tmp->filePath("out/messages.csv");
    QVERIFY(QDir().mkpath(tmp->filePath("out")));
    QCOMPARE(runExport(list, csv, ExportCsv).infos, QStringList(success(list.size())));
    const ToolResult parsed = runTool(python,
        { "-c",
            "import csv, sys\n"
            "rows = list(csv.reader(open(sys.argv[1], newline='', encoding='utf-8')))\n"
            "print(len(rows) - 1, len({len(r) for r in rows}))\n",
            csv });
    QCOMPARE(parsed.out.trimmed(), QString("%1 1").arg(list.size()).toUtf8());

    const QString txt = tmp->filePath("out/messages.doc");
    QCOMPARE(runExport(list, txt, ExportText).infos, QStringList(success(list.size())));
    QCOMPARE(fileBytes(txt).count("\r\n"), list.size() + 1);
}

void TestExportMessagesThread::pdfHasOneFilePerChat()
{
    QM_FIND_TOOL(pdftotext, "pdftotext");
    QM_FIND_TOOL(pdfinfo, "pdfinfo");
    const MsgMessageList list = sampleFromDatabase();
    const QString out = tmp->filePath("pdf");
    const Outcome outcome = runExport(list, out, ExportPdf);
    QCOMPARE(outcome.errors, QStringList());
    QCOMPARE(outcome.infos, QStringList(success(list.size())));
    QCOMPARE(entriesBelow(out),
        QStringList({ "Alice Doe (+15550001111).pdf", "bob@example.com.pdf",
            "chat123456789012345678.pdf" }));

    for (_MsgChat *chat : loaded->chatMap) {
        const QString file = QDir(out).filePath(
            (chat->isGroup() ? chat->chat_identifier : chat->title(true)) + ".pdf");
        QVERIFY(QString::fromUtf8(runTool(pdfinfo, { file }).out)
                    .contains(QRegularExpression("Pages:\\s+[1-9]")));
        // Ligatures (the "fi" of "file") come back as one character.
        const QString text
            = QString::fromUtf8(runTool(pdftotext, { "-enc", "UTF-8", file, "-" }).out)
                  .normalized(QString::NormalizationForm_KC);
        MsgMessageList messages = chat->messages.values();
        sortMessages(messages);
        QVERIFY(text.contains(
            QLocale::c().toString(dateTimeFromTime(messages.first()->date), "dd MMM yyyy h:m AP")));
        for (const _MsgMessage *m : qAsConst(messages)) {
            if (m->item_type == 0) {
                QString first
                    = m->plainText().trimmed().section(QRegularExpression("[\\r\\n\"]"), 0, 0);
                QVERIFY2(text.contains(first.replace(QString::fromUcs4(U"\U0001F600"), "[EMOJI]")),
                    qPrintable(first));
            }
        }
    }
}

void TestExportMessagesThread::htmlPagesParseAndEveryLinkExists()
{
    QM_FIND_TOOL(python, "python3");
    const MsgMessageList list = sampleFromDatabase();
    const QString out = tmp->filePath("html");
    const Outcome outcome = runExport(list, out, ExportHtml);
    QCOMPARE(outcome.errors, QStringList());
    QCOMPARE(outcome.infos, QStringList(success(list.size())));
    QStringList pages = QDir(out).entryList({ "*.html" }, QDir::Files);
    QCOMPARE(pages,
        QStringList({ "Alice Doe (+15550001111).html", "bob@example.com.html",
            "chat123456789012345678.html" }));
    QSet<QString> used;
    for (const QString &page : qAsConst(pages)) {
        QString error;
        const QJsonObject parsed = readXhtml(QDir(out).filePath(page), &error);
        QVERIFY2(!parsed.isEmpty(), qPrintable(page + ": " + error));
        for (const QJsonValue &ref : parsed.value("refs").toArray()) {
            const QString link = ref.toString();
            if (link == "#")
                continue;
            const QString file = QDir(out).filePath(QUrl::fromPercentEncoding(link.toUtf8()));
            QVERIFY2(QFileInfo(file).isFile(), qPrintable(page + ": " + link));
            used.insert(link);
        }
    }
    QVERIFY(used.contains("files/style.css"));
    QVERIFY(used.contains("emoji/1F600.png"));
    // Only the emoji pictures the pages show are copied.
    QCOMPARE(QDir(out).entryList({ "emoji" }, QDir::Dirs).size(), 1);
    QCOMPARE(entriesBelow(out + "/emoji").size(),
        int(std::count_if(used.begin(), used.end(),
            [](const QString &link) { return link.startsWith("emoji/"); })));
    QVERIFY(used.contains("files/IMG_0001.jpg"));
    QVERIFY(QFileInfo(QDir(out).filePath("files/bb1_05.png")).isFile());
}

void TestExportMessagesThread::databaseExportReadsBack()
{
    const MsgMessageList list = sampleFromDatabase();
    const QString out = tmp->filePath("copydb");
    QCOMPARE(runExport(list, out, ExportDatabase).infos, QStringList(success(list.size())));
    IOS6MessageDb db(QDir(out), QString(), false);
    QSharedPointer<MsgMessageSet> copy;
    MsgMessageSet::create(copy);
    db.chats(copy);
    db.messages(copy, 0);
    QCOMPARE(copy->chatMap.size(), loaded->chatMap.size());
    QCOMPARE(copy->handleMap.size(), loaded->handleMap.size());
    QCOMPARE(copy->messageMap.size(), loaded->messageMap.size());
    QCOMPARE(copy->attachmentMap.size(), loaded->attachmentMap.size());
    for (const _MsgAttachment *a : copy->attachmentMap)
        QCOMPARE(QFileInfo(a->localPath).isFile(), !a->filename.endsWith("gone.mov"));
}

void TestExportMessagesThread::progressForThreeMessages()
{
    MsgMessageList list = buildSampleChats(*builder).mid(0, 3);
    const Outcome outcome = runExport(list, tmp->filePath("three.csv"), ExportCsv);
    QCOMPARE(outcome.statuses, QStringList("Exporting Messages..."));
    QCOMPARE(outcome.values, QList<int>({ -1, 33, 66, 100 }));
    QCOMPARE(
        outcome.texts.mid(1), QStringList({ "Messages: 1/3", "Messages: 2/3", "Messages: 3/3" }));
    QCOMPARE(outcome.infos, QStringList(success(3)));
    QCOMPARE(outcome.result, 1);
}

void TestExportMessagesThread::emptyListSucceedsWithZero_data()
{
    QTest::addColumn<unsigned int>("format");
    QTest::addColumn<bool>("folderMade");
    QTest::newRow("text") << unsigned(ExportText) << false;
    QTest::newRow("csv") << unsigned(ExportCsv) << false;
    QTest::newRow("pdf") << unsigned(ExportPdf) << true;
    QTest::newRow("html") << unsigned(ExportHtml) << true;
    QTest::newRow("unsupported") << 5u << false;
}

void TestExportMessagesThread::emptyListSucceedsWithZero()
{
    QFETCH(unsigned int, format);
    QFETCH(bool, folderMade);
    const QString out = tmp->filePath("empty");
    const Outcome outcome = runExport({}, out, format);
    QCOMPARE(outcome.infos, QStringList(success(0)));
    QCOMPARE(QFileInfo(out).isDir(), folderMade);
    QCOMPARE(entriesBelow(out), QStringList());
}

void TestExportMessagesThread::unsupportedFormatFails()
{
    const Outcome outcome = runExport(buildSampleChats(*builder), tmp->filePath("x"), 5);
    QCOMPARE(outcome.result, 0);
    QCOMPARE(outcome.infos, QStringList());
    QCOMPARE(outcome.errors.size(), 1);
    QVERIFY(outcome.errors.first().contains("not support export format."));
    QVERIFY(!QFileInfo::exists(tmp->filePath("x")));
}

void TestExportMessagesThread::cancelRemovesOnlyWhatTheRunCreated_data()
{
    QTest::addColumn<unsigned int>("format");
    QTest::addColumn<bool>("folderExisted");
    QTest::newRow("pdf into a new folder") << unsigned(ExportPdf) << false;
    QTest::newRow("pdf into a folder with files") << unsigned(ExportPdf) << true;
    QTest::newRow("html into a folder with files") << unsigned(ExportHtml) << true;
    QTest::newRow("html into a new folder") << unsigned(ExportHtml) << false;
    QTest::newRow("database into a new folder") << unsigned(ExportDatabase) << false;
}

void TestExportMessagesThread::cancelRemovesOnlyWhatTheRunCreated()
{
    QFETCH(unsigned int, format);
    QFETCH(bool, folderExisted);
    const QString out = tmp->filePath("target");
    if (folderExisted) {
        writeFile(out + "/keep.txt", "mine");
        writeFile(out + "/files/style.css", "my own style");
    }
    const QStringList before = entriesBelow(out);
    const Outcome outcome = runExport(buildSampleChats(*builder), out, format, true);
    QCOMPARE(outcome.result, 0);
    QCOMPARE(outcome.infos, QStringList());
    QCOMPARE(outcome.errors, QStringList());
    QCOMPARE(QFileInfo::exists(out), folderExisted);
    QCOMPARE(entriesBelow(out), before);
}

void TestExportMessagesThread::fullDiskFailsAndRemovesOnlyWhatTheRunCreated_data()
{
    QTest::addColumn<unsigned int>("format");
    QTest::addColumn<QString>("target");
    QTest::newRow("text") << unsigned(ExportText) << "target/keep.txt";
    QTest::newRow("csv") << unsigned(ExportCsv) << "target/keep.txt";
    QTest::newRow("csv into a new file") << unsigned(ExportCsv) << "target/new.csv";
    QTest::newRow("pdf") << unsigned(ExportPdf) << "target";
    QTest::newRow("html") << unsigned(ExportHtml) << "target";
    QTest::newRow("pdf into a new folder") << unsigned(ExportPdf) << "target/pdfs";
    QTest::newRow("html into a new folder") << unsigned(ExportHtml) << "target/html";
}

void TestExportMessagesThread::fullDiskFailsAndRemovesOnlyWhatTheRunCreated()
{
    QFETCH(unsigned int, format);
    QFETCH(QString, target);
    writeFile(tmp->filePath("target/keep.txt"), "mine");
    writeFile(tmp->filePath("target/files/style.css"), "my own style");
    const QStringList before = entriesBelow(tmp->filePath("target"));
    // The first chat fits; the last one holds more than the disk takes.
    MsgMessageList list = buildSampleChats(*builder);
    _MsgMessage *last = list.last();
    for (int i = 0; i < 3000; ++i)
        list.append(builder->message(
            last->chat, last->handle, last->date + i, QString("filler %1 ").arg(i).repeated(20)));
    builder->attach(
        list.last(), "huge.bin", "application/octet-stream", QByteArray(600 * 1024, 'x'));

    Outcome outcome;
    {
        FileSizeLimit full(512 * 1024);
        outcome = runExport(list, tmp->filePath(target), format);
    }
    QCOMPARE(outcome.result, 0);
    QCOMPARE(outcome.infos, QStringList());
    QCOMPARE(outcome.errors.size(), 1);
    // What the system says of the file that could not grow, and where it is.
    const QString error = outcome.errors.first();
    QVERIFY2(error.contains(QString::fromLocal8Bit(std::strerror(EFBIG))), qPrintable(error));
    QVERIFY2(
        error.contains(tmp->filePath(target) + "/") || error.contains(tmp->filePath(target) + ":"),
        qPrintable(error));
    // Never the hidden folder a new one is filled in.
    QVERIFY2(!error.contains(".partial"), qPrintable(error));
    QCOMPARE(entriesBelow(tmp->filePath("target")), before);
    QCOMPARE(fileBytes(tmp->filePath("target/keep.txt")), QByteArray("mine"));
}

void TestExportMessagesThread::targetThatIsAFileFailsAndStays()
{
    writeFile(tmp->filePath("export"), "not a folder");
    for (unsigned int format :
        { unsigned(ExportPdf), unsigned(ExportHtml), unsigned(ExportDatabase) }) {
        const Outcome outcome
            = runExport(buildSampleChats(*builder), tmp->filePath("export"), format);
        QCOMPARE(outcome.errors.size(), 1);
        QCOMPARE(fileBytes(tmp->filePath("export")), QByteArray("not a folder"));
    }
}

void TestExportMessagesThread::secondExportIntoOneFolderFailsAndTheFirstIsWhole_data()
{
    QTest::addColumn<unsigned int>("format");
    QTest::addColumn<bool>("folderExisted");
    QTest::newRow("html into a new folder") << unsigned(ExportHtml) << false;
    QTest::newRow("pdf into a new folder") << unsigned(ExportPdf) << false;
    QTest::newRow("html into a folder with files") << unsigned(ExportHtml) << true;
    QTest::newRow("pdf into a folder with files") << unsigned(ExportPdf) << true;
    QTest::newRow("text into a new file") << unsigned(ExportText) << false;
    QTest::newRow("csv over a file") << unsigned(ExportCsv) << true;
}

void TestExportMessagesThread::secondExportIntoOneFolderFailsAndTheFirstIsWhole()
{
    QFETCH(unsigned int, format);
    QFETCH(bool, folderExisted);
    const MsgMessageList list = buildSampleChats(*builder);
    const QString whole = tmp->filePath("whole");
    const QString out = tmp->filePath("both/target");
    const bool oneFile = format == ExportText || format == ExportCsv;
    if (folderExisted && oneFile) {
        writeFile(out, "mine");
    } else if (folderExisted) {
        writeFile(whole + "/keep.txt", "mine");
        writeFile(out + "/keep.txt", "mine");
    }
    QVERIFY(QDir().mkpath(tmp->filePath("both")));
    QCOMPARE(runExport(list, whole, format).errors, QStringList());

    RecordingProgressForm form;
    ExportMessagesThread first(list, out, format, &form);
    Outcome second;
    // The second export runs whole while the first waits before its last message.
    first.setItemHook([&](int i) {
        if (i == list.size())
            QMetaObject::invokeMethod(
                qApp, [&] { second = runExport(list, out, format); }, Qt::BlockingQueuedConnection);
    });
    QCOMPARE(form.run(first), 1);
    QCOMPARE(form.errors, QStringList());
    QCOMPARE(form.infos, QStringList(success(list.size())));
    QCOMPARE(second.infos, QStringList());
    QCOMPARE(second.errors.size(), 1);
    QVERIFY2(second.errors.first().contains(QDir::toNativeSeparators(out) + ": another export"),
        qPrintable(second.errors.first()));
    QCOMPARE(entriesBelow(out), entriesBelow(whole));
    if (oneFile)
        QCOMPARE(fileBytes(out), fileBytes(whole));
    QCOMPARE(QDir(tmp->filePath("both"))
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList("target"));
    if (folderExisted && !oneFile)
        QCOMPARE(fileBytes(out + "/keep.txt"), QByteArray("mine"));
}

// Whatever a file system lacks (locks, unnamed files, no-replace renames, links, renaming
// or removing what is open, opening for append) an export ends whole, the same as on the
// local disk, and leaves nothing of its own beside the user's files.
void TestExportMessagesThread::exportsEndWholeOnEveryFileSystem_data()
{
    QTest::addColumn<FileSystemSeam>("seam");
    QTest::addColumn<unsigned int>("format");
    QTest::addColumn<bool>("targetExisted");
    for (const auto &seam : FileSystemSeam::named()) {
        QTest::addRow("%s, text", seam.first) << seam.second << unsigned(ExportText) << false;
        QTest::addRow("%s, csv over a file", seam.first)
            << seam.second << unsigned(ExportCsv) << true;
        QTest::addRow("%s, html into a new folder", seam.first)
            << seam.second << unsigned(ExportHtml) << false;
        QTest::addRow("%s, html into a folder with files", seam.first)
            << seam.second << unsigned(ExportHtml) << true;
        QTest::addRow("%s, pdf into a folder with files", seam.first)
            << seam.second << unsigned(ExportPdf) << true;
    }
}

void TestExportMessagesThread::exportsEndWholeOnEveryFileSystem()
{
    QFETCH(FileSystemSeam, seam);
    QFETCH(unsigned int, format);
    QFETCH(bool, targetExisted);
    const MsgMessageList list = buildSampleChats(*builder);
    const bool oneFile = format == ExportText || format == ExportCsv;
    const QString name = oneFile ? "notes.txt" : "out";
    if (targetExisted && oneFile) {
        writeFile(tmp->filePath("seam/" + name), "mine");
    } else if (targetExisted) {
        writeFile(tmp->filePath("whole/out/keep.txt"), "mine");
        writeFile(tmp->filePath("seam/out/keep.txt"), "mine");
    }
    QVERIFY(QDir().mkpath(tmp->filePath("whole")) && QDir().mkpath(tmp->filePath("seam")));
    QCOMPARE(runExport(list, tmp->filePath("whole/" + name), format).errors, QStringList());

    Outcome outcome;
    {
        const ScopedFileSystemSeam scoped(seam);
        outcome = runExport(list, tmp->filePath("seam/" + name), format);
    }
    QCOMPARE(outcome.errors, QStringList());
    QCOMPARE(outcome.infos, QStringList(success(list.size())));
    QCOMPARE(entriesBelow(tmp->filePath("seam")), entriesBelow(tmp->filePath("whole")));
    if (oneFile)
        QCOMPARE(
            fileBytes(tmp->filePath("seam/" + name)), fileBytes(tmp->filePath("whole/" + name)));
}

// What a run killed while it copied the pages' files leaves (partials, and an empty entry
// that held a new name for the rename that never came) goes with the next export, whose
// pages then have every file they name, whole.
void TestExportMessagesThread::killedRunsPartialPicturesGoWithTheNextExport()
{
    const MsgMessageList list = buildSampleChats(*builder);
    const QString out = tmp->filePath("out");
    QCOMPARE(runExport(list, out, ExportHtml).errors, QStringList());
    const QStringList whole = entriesBelow(out);
    const QByteArray style = fileBytes(out + "/files/style.css");
    QVERIFY(!style.isEmpty());
    QVERIFY(QFile::remove(out + "/files/IMG_0001.jpg"));
    QVERIFY(QFile::remove(out + "/files/style.css"));
    QVERIFY(runThenDie([&] {
        const ScopedFileSystemSeam exfat(FileSystemSeam::fuseExfat());
        for (const char *file :
            { "files/IMG_0001.jpg", "emoji/1F600.png", "Alice Doe (+15550001111).html" }) {
            // Never destroyed: the run dies holding them.
            auto *partial = new DurableFile(QDir(out).filePath(file));
            if (partial->open())
                partial->write("cut short");
        }
        const ScopedFileSystemSeam atRename(FileSystemSeam::fuseExfatDyingAtRename());
        auto *sheet = new DurableFile(out + "/files/style.css");
        if (sheet->open() && sheet->write("cut short"))
            sheet->commit();
    }));
    QCOMPARE(entriesBelow(out).filter(".partial").size(), 4);
    QCOMPARE(fileBytes(out + "/files/style.css"), QByteArray());

    QCOMPARE(runExport(list, out, ExportHtml).errors, QStringList());
    QCOMPARE(entriesBelow(out).filter(".partial"), QStringList());
    QCOMPARE(fileBytes(out + "/files/style.css"), style);
    QVERIFY(QFileInfo(out + "/files/IMG_0001.jpg").isFile());
    QVERIFY(entriesBelow(out).size() > whole.size());
}

// The program puts no entry of its own into a folder the user chose, so none of the user's
// entries there, whatever its name or kind, is taken for one or stops an export.
void TestExportMessagesThread::usersEntriesOfAnyNameStay_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("file") << "file";
    QTest::newRow("folder") << "folder";
    QTest::newRow("fifo") << "fifo";
    QTest::newRow("link") << "link";
}

void TestExportMessagesThread::usersEntriesOfAnyNameStay()
{
    QFETCH(QString, kind);
    const QString out = tmp->filePath("out");
    QVERIFY(QDir().mkpath(out));
    QStringList names;
    for (const QString &name : { QStringLiteral(".quillmarrow.lock"), QStringLiteral(".lock") }) {
        const QString path = out + "/" + name;
        if (kind == "file")
            writeFile(path, "mine");
        else if (kind == "folder")
            QVERIFY(QDir().mkpath(path + "/inner"));
        else if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else
            QVERIFY(QFile::link("nowhere", path));
        names << name;
    }
    const Outcome outcome = runExport(buildSampleChats(*builder), out, ExportHtml);
    QCOMPARE(outcome.errors, QStringList());
    for (const QString &name : qAsConst(names)) {
        const QFileInfo info(out + "/" + name);
        QVERIFY2(info.exists() || info.isSymLink(), qPrintable(name));
        if (kind == "file")
            QCOMPARE(fileBytes(info.filePath()), QByteArray("mine"));
    }
}

void TestExportMessagesThread::chatsNeverShareAFile()
{
    _MsgHandle *a = builder->handle("+15550000001");
    _MsgHandle *b = builder->handle("+15550000002");
    _MsgHandle *c = builder->handle("+15550000003");
    // Titles that clean to the same name; the same newest time.
    _MsgChat *first = builder->chat(a->id, { a }, "Tom/Jerry");
    _MsgChat *second = builder->chat(b->id, { b }, "TomJerry?");
    // Identifiers that differ in case only are one chat.
    _MsgChat *upper = builder->chat("ABC@example.com", { c }, "Case");
    _MsgChat *lower = builder->chat("abc@example.com", { c }, "Case");
    MsgMessageList list;
    for (int i = 0; i < 4; ++i) {
        list.append(builder->message(first, a, 400000000 + i, QString("first%1").arg(i)));
        list.append(builder->message(second, b, 400000000 + i, QString("second%1").arg(i)));
        list.append(
            builder->message(i % 2 ? upper : lower, c, 400000100 + i, QString("case%1").arg(i)));
    }
    const QString out = tmp->filePath("html");
    QCOMPARE(runExport(list, out, ExportHtml).errors, QStringList());
    const QStringList pages = QDir(out).entryList({ "*.html" }, QDir::Files);
    QCOMPARE(pages, QStringList({ "Case.html", "TomJerry(1).html", "TomJerry.html" }));
    const QString both = fileBytes(out + "/TomJerry.html") + fileBytes(out + "/TomJerry(1).html");
    const QString casePage = fileBytes(out + "/Case.html");
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(both.count(QString("first%1<").arg(i)), 1);
        QCOMPARE(both.count(QString("second%1<").arg(i)), 1);
        QVERIFY(casePage.contains(QString("case%1<").arg(i)));
    }
    // Each page holds one chat only.
    QVERIFY(!fileBytes(out + "/TomJerry.html").contains("first")
        || !fileBytes(out + "/TomJerry.html").contains("second"));
}

void TestExportMessagesThread::smsAndIMessageChatOfOneNumberShareAFile_data()
{
    QTest::addColumn<unsigned int>("format");
    QTest::newRow("pdf") << unsigned(ExportPdf);
    QTest::newRow("html") << unsigned(ExportHtml);
}

void TestExportMessagesThread::smsAndIMessageChatOfOneNumberShareAFile()
{
    QFETCH(unsigned int, format);
    _MsgHandle *sms = builder->handle("+15550001111", "Alice", "SMS");
    _MsgHandle *imessage = builder->handle("+15550001111", "Alice", "iMessage");
    _MsgHandle *bob = builder->handle("+15550002222", "Bob");
    _MsgChat *smsChat = builder->chat(sms->id, { sms });
    _MsgChat *imessageChat = builder->chat(imessage->id, { imessage });
    _MsgChat *between = builder->chat(bob->id, { bob });
    // Bob's newest message falls between those of Alice's two chats.
    const MsgMessageList list = { builder->message(smsChat, sms, 400000000, "by sms"),
        builder->message(between, bob, 400000100, "from bob"),
        builder->message(imessageChat, imessage, 400000200, "by imessage") };
    const QString out = tmp->filePath("out");
    QCOMPARE(runExport(list, out, format).errors, QStringList());
    const QString suffix = format == ExportPdf ? ".pdf" : ".html";
    QCOMPARE(QDir(out).entryList(QDir::Files),
        QStringList({ "Alice (+15550001111)" + suffix, "Bob (+15550002222)" + suffix }));
}

void TestExportMessagesThread::cutTextAttachmentIsCopiedWholeBesideThePage_data()
{
    QTest::addColumn<unsigned int>("format");
    QTest::addColumn<QString>("copy");
    QTest::newRow("pdf") << unsigned(ExportPdf) << "notes.txt";
    QTest::newRow("html") << unsigned(ExportHtml) << "files/notes.txt";
}

void TestExportMessagesThread::cutTextAttachmentIsCopiedWholeBesideThePage()
{
    QFETCH(unsigned int, format);
    QFETCH(QString, copy);
    _MsgHandle *h = builder->handle("+15550001111", "Alice");
    _MsgChat *chat = builder->chat(h->id, { h });
    _MsgMessage *m = builder->message(chat, h, 400000000, "");
    const QByteArray whole = QByteArray("start ").repeated(MaxTextAttachmentBytes / 4) + "end";
    builder->attach(m, "notes.txt", "text/plain", whole);
    const QString out = tmp->filePath("out");
    QCOMPARE(runExport({ m }, out, format).errors, QStringList());
    QCOMPARE(fileBytes(QDir(out).filePath(copy)), whole);
    if (format == ExportHtml) {
        const QString page = fileBytes(out + "/Alice (+15550001111).html");
        QVERIFY(page.contains("...<br/><a href=\"files/notes.txt\">The whole text: notes.txt</a>"));
    } else {
        QM_FIND_TOOL(pdftotext, "pdftotext");
        // Ligatures (the "fi" of "file") come back as one character.
        const QString text = QString::fromUtf8(
            runTool(pdftotext, { "-enc", "UTF-8", out + "/Alice (+15550001111).pdf", "-" }).out)
                                 .normalized(QString::NormalizationForm_KC)
                                 .simplified();
        QVERIFY(text.contains("... The whole text: notes.txt, beside this PDF file"));
    }
}

void TestExportMessagesThread::hundredThousandRowsInOrder_data()
{
    QTest::addColumn<unsigned int>("format");
    QTest::newRow("text") << unsigned(ExportText);
    QTest::newRow("csv") << unsigned(ExportCsv);
}

void TestExportMessagesThread::hundredThousandRowsInOrder()
{
    QFETCH(unsigned int, format);
    const int count = 100000;
    _MsgHandle *h = builder->handle("+15550001111", "Alice");
    _MsgChat *chat = builder->chat(h->id, { h });
    MsgMessageList list;
    for (int i = 0; i < count; ++i)
        list.append(builder->message(chat, h, 400000000 + i * 200, QString("m%1").arg(i)));
    // Handed over shuffled; the dates alone give the order (row ids are far apart).
    std::shuffle(list.begin(), list.end(), *QRandomGenerator::global());
    for (_MsgMessage *m : qAsConst(list))
        m->srcRowid *= 100;

    const QString path = tmp->filePath(format == ExportCsv ? "big.csv" : "big.txt");
    QCOMPARE(runExport(list, path, format).infos, QStringList(success(count)));
    const QList<QByteArray> lines = fileBytes(path).split('\n');
    QCOMPARE(lines.size(), count + 2); // header, rows, and nothing after the last line end
    for (int i = 0; i < count; ++i) {
        const QByteArray &line = lines.at(i + 1);
        const QByteArray expected
            = QByteArray(format == ExportCsv ? "," : " ") + "m" + QByteArray::number(i) + "\r";
        if (!line.endsWith(expected))
            QFAIL(qPrintable(QString("row %1: %2").arg(i).arg(QString::fromUtf8(line))));
    }
}

QTEST_MAIN(TestExportMessagesThread)
#include "tst_exportmessagesthread.moc"
