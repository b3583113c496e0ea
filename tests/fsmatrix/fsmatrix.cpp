// The file-system matrix's driver (run by run-matrix.sh beside it). Each case runs the program's
// writers in a folder the caller names, on whatever file system holds that folder, and prints
// one verdict line, "PASS <case>: ..." or "FAIL <case>: ...". The writes run in child processes
// of this program, through the operations' public workers only, so that a kill and two writers
// at once are real processes; the same work on the local disk, done in this process, is what a
// success must equal.
#include "device/backupdrives.h"
#include "fsmatrix/treecheck.h"
#include "messages/ios6messagedb.h"
#include "operations/backupsmsthread.h"
#include "operations/exportmessagesthread.h"
#include "shell/datafolder.h"
#include "support/filesystemseam.h"
#include "support/foldersnapshot.h"
#include "support/messagesetbuilder.h"
#include "support/messagesetdump.h"
#include "support/recordingprogressform.h"
#include "support/workercontrol.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

const char kUsage[]
    = "Usage: fsmatrix cases [--data-here | --full]\n"
      "       fsmatrix case NAME FOLDER [--data-here] [--seam nfs|nolocks|exfat] "
      "[--escaped-names]\n"
      "       fsmatrix drives\n"
      "A case works in FOLDER/NAME, which must not exist; --data-here puts the program's data\n"
      "folder (HOME) in FOLDER/NAME.home. The full-disk cases want FOLDER on a disk of a few MB.\n";

enum class Kind { Once, Killed, Twice, FullDisk, Save, FullSave };
enum class Place { NewFile, OverFile, NewFolder, IntoFolder };

struct Case
{
    const char *name;
    Kind kind;
    ExportFormat format;
    Place place;
};

const Case kCases[] = {
    { "text-new", Kind::Once, ExportText, Place::NewFile },
    { "text-over", Kind::Once, ExportText, Place::OverFile },
    { "csv-new", Kind::Once, ExportCsv, Place::NewFile },
    { "csv-over", Kind::Once, ExportCsv, Place::OverFile },
    { "pdf-new", Kind::Once, ExportPdf, Place::NewFolder },
    { "pdf-existing", Kind::Once, ExportPdf, Place::IntoFolder },
    { "html-new", Kind::Once, ExportHtml, Place::NewFolder },
    { "html-existing", Kind::Once, ExportHtml, Place::IntoFolder },
    { "html-killed-new", Kind::Killed, ExportHtml, Place::NewFolder },
    { "html-killed-existing", Kind::Killed, ExportHtml, Place::IntoFolder },
    { "text-twice", Kind::Twice, ExportText, Place::NewFile },
    { "html-twice", Kind::Twice, ExportHtml, Place::NewFolder },
    { "db-save", Kind::Save, ExportDatabase, Place::NewFolder },
    { "full-text-over", Kind::FullDisk, ExportText, Place::OverFile },
    { "full-csv-new", Kind::FullDisk, ExportCsv, Place::NewFile },
    { "full-html-new", Kind::FullDisk, ExportHtml, Place::NewFolder },
    { "full-html-existing", Kind::FullDisk, ExportHtml, Place::IntoFolder },
    // The data folder on the small disk, its local databases with it.
    { "full-db-save", Kind::FullSave, ExportDatabase, Place::NewFolder },
};

const QByteArray kUsersNotes = "The user's own notes, found nowhere else.\n";
const QByteArray kUsersFile = "mine";
const char kDatabaseName[] = "Saved";

// Each child works at most this long; the caller bounds the whole case.
const int kChildMs = 150000;

// The messages of a case: the shared sample (emoji, a picture, a contact card, a text and a
// missing attachment, a group chat); "long" adds a chat long enough to kill an export in the
// middle or to let two overlap; "big" adds more than a disk of a few MB holds, in text and in
// one attachment.
MsgMessageList buildSet(MessageSetBuilder &builder, const QString &set)
{
    MsgMessageList list = buildSampleChats(builder);
    const int fillers = set == QLatin1String("long") ? 1500
        : set == QLatin1String("big")                ? 6000
                                                     : 0;
    const _MsgMessage *last = list.last();
    for (int i = 0; i < fillers; ++i)
        list.append(builder.message(last->chat, last->handle, last->date + 1 + i,
            QStringLiteral("line %1 of a long chat ").arg(i).repeated(40)));
    if (set == QLatin1String("big"))
        builder.attach(list.last(), QStringLiteral("huge.bin"),
            QStringLiteral("application/octet-stream"), QByteArray(6 << 20, 'x'));
    return list;
}

QString setOf(Kind kind)
{
    switch (kind) {
    case Kind::Killed:
    case Kind::Twice:
        return QStringLiteral("long");
    case Kind::FullDisk:
    case Kind::FullSave:
        return QStringLiteral("big");
    default:
        return QStringLiteral("sample");
    }
}

struct Outcome
{
    int result = -1;
    QStringList infos;
    QStringList errors;
    QString folder; // a save's database folder
    // Set by the parent: the child died by SIGKILL, or did not end or report in time.
    bool killed = false;
    QString trouble;

    bool succeeded() const { return trouble.isEmpty() && result == 1 && errors.isEmpty(); }
    QString error() const
    {
        return errors.isEmpty() ? trouble : errors.join(QStringLiteral(" / "));
    }
};

QByteArray toJson(const Outcome &outcome)
{
    QJsonObject o;
    o.insert(QStringLiteral("result"), outcome.result);
    o.insert(QStringLiteral("infos"), QJsonArray::fromStringList(outcome.infos));
    o.insert(QStringLiteral("errors"), QJsonArray::fromStringList(outcome.errors));
    o.insert(QStringLiteral("folder"), outcome.folder);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QStringList strings(const QJsonValue &value)
{
    QStringList list;
    for (const QJsonValue &v : value.toArray())
        list.append(v.toString());
    return list;
}

Outcome fromJson(const QByteArray &out)
{
    Outcome outcome;
    const QList<QByteArray> lines = out.trimmed().split('\n');
    const QJsonObject o = QJsonDocument::fromJson(lines.last()).object();
    if (o.isEmpty()) {
        outcome.trouble = QStringLiteral("the child reported nothing");
        return outcome;
    }
    outcome.result = o.value(QStringLiteral("result")).toInt();
    outcome.infos = strings(o.value(QStringLiteral("infos")));
    outcome.errors = strings(o.value(QStringLiteral("errors")));
    outcome.folder = o.value(QStringLiteral("folder")).toString();
    return outcome;
}

template <typename Worker> Outcome runWorker(Worker &worker, RecordingProgressForm &form)
{
    Outcome outcome;
    outcome.result = form.run(worker);
    outcome.infos = form.infos;
    outcome.errors = form.errors;
    return outcome;
}

Outcome exportHere(const MsgMessageList &list, const QString &target, unsigned int format,
    const std::function<void(int)> &hook = nullptr)
{
    RecordingProgressForm form;
    ExportMessagesThread worker(list, target, format, &form);
    if (hook)
        worker.setItemHook(hook);
    return runWorker(worker, form);
}

Outcome saveHere(const MsgMessageList &list)
{
    RecordingProgressForm form;
    const QString folder = localDbFolder().filePath(QLatin1String(kDatabaseName));
    BackupSMSThread worker(list, QDir(folder), QString(), &form);
    Outcome outcome = runWorker(worker, form);
    outcome.folder = folder;
    return outcome;
}

std::unique_ptr<ScopedFileSystemSeam> seamNamed(const QString &name)
{
    if (name == QLatin1String("nfs"))
        return std::make_unique<ScopedFileSystemSeam>(FileSystemSeam::nfs());
    if (name == QLatin1String("nolocks"))
        return std::make_unique<ScopedFileSystemSeam>(FileSystemSeam::noLockService());
    if (name == QLatin1String("exfat"))
        return std::make_unique<ScopedFileSystemSeam>(FileSystemSeam::fuseExfat());
    return nullptr;
}

// The value after `option` in the arguments, removing both; `fallback` when absent.
QString takeOption(QStringList &args, const QString &option, const QString &fallback = QString())
{
    const int at = args.indexOf(option);
    if (at < 0 || at + 1 >= args.size())
        return fallback;
    const QString value = args.at(at + 1);
    args.erase(args.begin() + at, args.begin() + at + 2);
    return value;
}

bool takeFlag(QStringList &args, const QString &flag)
{
    return args.removeAll(flag) > 0;
}

// The child's side: "export FORMAT TARGET SET SOURCE" or "save SET SOURCE", with --seam,
// --kill-at N (die by SIGKILL before message N) and --wait-go (say "ready", then wait for a
// line on the standard input; an export says "writing" at its first message, then waits for
// another line). Prints the outcome as one JSON line.
int childMain(QStringList args)
{
    const QString seamName = takeOption(args, QStringLiteral("--seam"));
    const int killAt = takeOption(args, QStringLiteral("--kill-at"), QStringLiteral("-1")).toInt();
    const bool waitGo = takeFlag(args, QStringLiteral("--wait-go"));
    const bool save = args.value(0) == QLatin1String("save");
    if ((save && args.size() != 3) || (!save && args.size() != 5)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const auto seam = seamNamed(seamName);
    if (!seamName.isEmpty() && !seam) {
        std::fprintf(stderr, "unknown seam %s\n", qPrintable(seamName));
        return 2;
    }
    MessageSetBuilder builder(args.last());
    const MsgMessageList list = buildSet(builder, args.at(args.size() - 2));
    if (waitGo) {
        std::puts("ready");
        std::fflush(stdout);
        char line[16];
        if (!std::fgets(line, sizeof line, stdin))
            return 2;
    }
    Outcome outcome;
    if (save) {
        outcome = saveHere(list);
    } else {
        std::function<void(int)> hook;
        if (killAt > 0) {
            hook = [killAt](int position) {
                if (position >= killAt)
                    std::raise(SIGKILL);
            };
        } else if (waitGo) {
            // Of two at once, the one that holds the target says so at its first message and
            // goes on only when told: the other meets it holding, however busy the machine.
            hook = [](int position) {
                char line[16];
                if (position == 1 && std::puts("writing") >= 0 && std::fflush(stdout) == 0)
                    std::fgets(line, sizeof line, stdin);
            };
        }
        outcome = exportHere(list, args.at(2), args.at(1).toUInt(), hook);
    }
    std::puts(toJson(outcome).constData());
    std::fflush(stdout);
    return 0;
}

class Judge
{
public:
    Judge(const Case &spec, const QString &folder, bool dataHere, const QString &seam);
    // The verdict, without "PASS"/"FAIL" and the case's name.
    bool run(QString *verdict);

private:
    QString prepare(const QString &root) const;
    bool referenceTree(Tree *expected, QString *verdict);
    void startChild(QStringList args, QProcess &child, bool waitGo);
    Outcome finishChild(QProcess &child);
    Outcome runChild(const QStringList &args);
    QStringList exportArgs(const QString &target, int slot) const;

    bool once(QString *verdict);
    bool killed(QString *verdict);
    bool twice(QString *verdict);
    bool fullSave(QString *verdict);
    bool fullDisk(QString *verdict);
    bool save(QString *verdict);

    bool judgeSuccess(const Outcome &outcome, const Tree &expected, QString *verdict) const;

    QTemporaryDir work; // first: the paths below may lie in it
    const Case &spec;
    QString caseFolder;
    QString home;
    QString seam;
    std::unique_ptr<MessageSetBuilder> builder;
    MsgMessageList list;
};

Judge::Judge(const Case &spec, const QString &folder, bool dataHere, const QString &seam)
    : spec(spec)
    , caseFolder(QDir(folder).absoluteFilePath(QLatin1String(spec.name)))
    , home(dataHere || spec.kind == Kind::FullSave ? caseFolder + QStringLiteral(".home")
                                                   : work.filePath(QStringLiteral("home")))
    , seam(seam)
{
    builder = std::make_unique<MessageSetBuilder>(work.filePath(QStringLiteral("source")));
    list = buildSet(*builder, setOf(spec.kind));
}

// Puts what the user had into `root` and gives the path the user chose there.
QString Judge::prepare(const QString &root) const
{
    QDir().mkpath(root);
    const bool file = spec.place == Place::NewFile || spec.place == Place::OverFile;
    const QString name = !file     ? QStringLiteral("out")
        : spec.format == ExportCsv ? QStringLiteral("messages.csv")
                                   : QStringLiteral("messages.txt");
    const QString target = QDir(root).filePath(name);
    QString users;
    QByteArray bytes;
    if (spec.place == Place::OverFile) {
        users = target;
        bytes = kUsersNotes;
    } else if (spec.place == Place::IntoFolder) {
        QDir().mkpath(target);
        users = QDir(target).filePath(QStringLiteral("keep.txt"));
        bytes = kUsersFile;
    }
    if (!users.isEmpty()) {
        QFile out(users);
        if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.flush())
            throw std::runtime_error(
                QStringLiteral("cannot write %1: %2").arg(users, out.errorString()).toStdString());
    }
    return target;
}

// The tree that the same export leaves on the local disk; false, with the verdict, when it
// fails there too.
bool Judge::referenceTree(Tree *expected, QString *verdict)
{
    const QString root = work.filePath(QStringLiteral("reference"));
    const Outcome outcome = exportHere(list, prepare(root), spec.format);
    if (!outcome.succeeded()) {
        *verdict = QStringLiteral("failed on the local disk too: ") + oneLine(outcome.error());
        return false;
    }
    *expected = comparableTree(root);
    return true;
}

QStringList Judge::exportArgs(const QString &target, int slot) const
{
    QStringList args { QStringLiteral("export"), QString::number(spec.format), target,
        setOf(spec.kind), work.filePath(QStringLiteral("child-source-%1").arg(slot)) };
    if (!seam.isEmpty())
        args << QStringLiteral("--seam") << seam;
    return args;
}

void Judge::startChild(QStringList args, QProcess &child, bool waitGo)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (waitGo)
        args << QStringLiteral("--wait-go");
    child.start(QCoreApplication::applicationFilePath(), args);
}

Outcome Judge::finishChild(QProcess &child)
{
    Outcome outcome;
    // False at once for a child that has ended already.
    if (child.state() != QProcess::NotRunning && !child.waitForFinished(kChildMs)) {
        child.kill();
        child.waitForFinished(10000);
        outcome.trouble = QStringLiteral("the writer did not end within %1 s").arg(kChildMs / 1000);
        return outcome;
    }
    if (child.exitStatus() == QProcess::CrashExit) {
        outcome.killed = true;
        outcome.trouble = QStringLiteral("the writer died");
        return outcome;
    }
    outcome = fromJson(child.readAllStandardOutput());
    if (child.exitCode() != 0 && outcome.trouble.isEmpty())
        outcome.trouble = QStringLiteral("the writer exited with %1").arg(child.exitCode());
    return outcome;
}

Outcome Judge::runChild(const QStringList &args)
{
    QProcess child;
    startChild(args, child, false);
    return finishChild(child);
}

bool Judge::run(QString *verdict)
{
    if (QFileInfo::exists(caseFolder)) {
        *verdict = caseFolder + QStringLiteral(" is there already");
        return false;
    }
    QDir().mkpath(home);
    try {
        switch (spec.kind) {
        case Kind::Once:
            return once(verdict);
        case Kind::Killed:
            return killed(verdict);
        case Kind::Twice:
            return twice(verdict);
        case Kind::FullDisk:
            return fullDisk(verdict);
        case Kind::Save:
            return save(verdict);
        case Kind::FullSave:
            return fullSave(verdict);
        }
    } catch (const std::exception &e) {
        *verdict = QString::fromUtf8(e.what());
    }
    return false;
}

QString listed(const QStringList &items)
{
    const int shown = 6;
    QString text = QStringList(items.mid(0, shown)).join(QStringLiteral(", "));
    if (items.size() > shown)
        text += QStringLiteral(" and %1 more").arg(items.size() - shown);
    return text;
}

bool Judge::judgeSuccess(const Outcome &outcome, const Tree &expected, QString *verdict) const
{
    const QStringList differences = treeDifferences(expected, comparableTree(caseFolder));
    if (differences.isEmpty()) {
        *verdict = QStringLiteral("whole (%1 entries as on the local disk), nothing left")
                       .arg(expected.size());
        return true;
    }
    *verdict = QStringLiteral("%1 but %2")
                   .arg(outcome.succeeded() ? QStringLiteral("succeeded") : QStringLiteral("ended"),
                       listed(differences));
    return false;
}

// A failure where none was due: what it says and what it did to the user's folder.
QString failureText(
    const Outcome &outcome, const QString &target, const Tree &before, const Tree &after)
{
    const QString error = outcome.error();
    QStringList notes;
    if (!outcome.trouble.isEmpty())
        notes << outcome.trouble;
    else if (!namesTarget(error, target))
        notes << QStringLiteral("the message does not name the user's path alone");
    else if (systemReasonIn(error).isEmpty())
        notes << QStringLiteral("the message gives no reason of the system's");
    const QStringList damage = damageAfterFailure(before, after);
    notes << (damage.isEmpty() ? QStringLiteral("the user's files kept, nothing left")
                               : listed(damage));
    return QStringLiteral("failed: \"%1\"; %2")
        .arg(oneLine(error), notes.join(QStringLiteral("; ")));
}

bool Judge::once(QString *verdict)
{
    Tree expected;
    if (!referenceTree(&expected, verdict))
        return false;
    const QString target = prepare(caseFolder);
    const Tree before = userTree(caseFolder);
    const Outcome outcome = runChild(exportArgs(target, 0));
    if (!outcome.succeeded()) {
        *verdict = failureText(outcome, target, before, userTree(caseFolder));
        return false;
    }
    return judgeSuccess(outcome, expected, verdict);
}

// "name(2).ext" beside a "name.ext" of the tree: a name the export chose because the first was
// taken (which drops any inner suffix: "a.b(1).c" for "a.b.c").
bool isNumberedCopy(const QString &path, const Tree &tree)
{
    static const QRegularExpression numbered(QStringLiteral("^(.*)\\(\\d+\\)(\\.[^./]*)?$"));
    const QRegularExpressionMatch copy = numbered.match(path);
    if (!copy.hasMatch())
        return false;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        if (it.key().startsWith(copy.captured(1)) && it.key().endsWith(copy.captured(2))
            && !it.key().midRef(copy.captured(1).size()).contains(QLatin1Char('/')))
            return true;
    }
    return false;
}

bool Judge::killed(QString *verdict)
{
    Tree expected;
    if (!referenceTree(&expected, verdict))
        return false;
    const QString target = prepare(caseFolder);
    const Tree before = comparableTree(caseFolder);
    const int killAt = list.size() / 2;
    const Outcome first
        = runChild(exportArgs(target, 0) << QStringLiteral("--kill-at") << QString::number(killAt));
    if (!first.killed) {
        *verdict = QStringLiteral("the export to be killed at message %1 of %2 was not: %3")
                       .arg(killAt)
                       .arg(list.size())
                       .arg(first.succeeded() ? QStringLiteral("it ended first")
                                              : oneLine(first.error()));
        return false;
    }
    // Under a name the user sees, a killed run leaves whole files or nothing.
    const Tree afterKill = comparableTree(caseFolder);
    QStringList cut;
    QStringList bookkeeping;
    for (auto it = afterKill.cbegin(); it != afterKill.cend(); ++it) {
        if (isBookkeeping(it.key()))
            bookkeeping << it.key();
        else if (before.value(it.key(), "?") != it.value()
            && expected.value(it.key(), "?") != it.value())
            cut << it.key();
    }
    const QString killNote = QStringLiteral("killed at message %1 of %2, leaving %3")
                                 .arg(killAt)
                                 .arg(list.size())
                                 .arg(bookkeeping.isEmpty() ? QStringLiteral("nothing of its own")
                                                            : listed(outermost(bookkeeping)));
    if (!cut.isEmpty()) {
        *verdict = killNote + QStringLiteral(" and files cut short: ") + listed(cut);
        return false;
    }
    const Outcome again = runChild(exportArgs(target, 1));
    if (!again.succeeded()) {
        *verdict = killNote + QStringLiteral("; the next export ")
            + failureText(again, target, Tree(), Tree());
        return false;
    }
    const Tree after = comparableTree(caseFolder);
    QStringList differences = treeDifferences(expected, after);
    // Into an existing folder no export replaces a file that was there before it: the whole
    // files of the killed run stay, and the next run's take "(n)" names beside them.
    for (auto it = after.cbegin(); spec.place == Place::IntoFolder && it != after.cend(); ++it) {
        const bool kept = afterKill.contains(it.key()) && afterKill.value(it.key()) == it.value();
        if (!isBookkeeping(it.key()) && (kept || isNumberedCopy(it.key(), expected)))
            differences.removeAll(QStringLiteral("left ") + it.key());
    }
    if (!differences.isEmpty()) {
        *verdict = killNote + QStringLiteral("; then again: succeeded but ") + listed(differences);
        return false;
    }
    *verdict = killNote + QStringLiteral("; then again: whole, nothing left");
    return true;
}

bool Judge::twice(QString *verdict)
{
    Tree expected;
    if (!referenceTree(&expected, verdict))
        return false;
    const QString target = prepare(caseFolder);
    QProcess children[2];
    for (int i = 0; i < 2; ++i)
        startChild(exportArgs(target, i), children[i], true);
    for (QProcess &child : children) {
        if (!child.waitForReadyRead(60000)) {
            *verdict = QStringLiteral("a writer did not get ready: ") + child.errorString();
            for (QProcess &other : children)
                other.kill();
            return false;
        }
        child.readLine();
    }
    // Written out at once, not when the event loop next runs: the two must start together.
    for (QProcess &child : children) {
        child.write("go\n");
        child.waitForBytesWritten(10000);
    }
    // Each one holds the target, says so and waits, or ends; then the holders go on.
    bool writing[2] = { false, false };
    QElapsedTimer waited;
    waited.start();
    for (int settled = 0; settled < 2 && waited.elapsed() < kChildMs;) {
        settled = 0;
        for (int i = 0; i < 2; ++i) {
            QProcess &child = children[i];
            if (!writing[i] && child.canReadLine() && child.peek(7) == "writing")
                writing[i] = !child.readLine().isEmpty();
            const bool ended = child.state() == QProcess::NotRunning || child.waitForFinished(1);
            settled += writing[i] || ended ? 1 : 0;
        }
        children[0].waitForReadyRead(10);
    }
    for (QProcess &child : children) {
        child.write("on\n");
        child.waitForBytesWritten(10000);
        child.closeWriteChannel();
    }
    Outcome outcomes[2];
    for (int i = 0; i < 2; ++i)
        outcomes[i] = finishChild(children[i]);
    QStringList notes;
    int wins = 0;
    for (const Outcome &outcome : outcomes) {
        if (outcome.succeeded()) {
            ++wins;
            notes << QStringLiteral("one succeeded");
            continue;
        }
        const QString error = outcome.error();
        const bool refused = outcome.trouble.isEmpty() && namesTarget(error, target)
            && error.contains(QLatin1String("another"), Qt::CaseInsensitive);
        notes << (refused ? QStringLiteral("one was refused")
                          : QStringLiteral("one failed: \"%1\"").arg(oneLine(error)));
        if (!refused)
            wins = -2;
    }
    if (writing[0] && writing[1])
        notes << QStringLiteral("both wrote at once");
    QString result;
    const bool whole = judgeSuccess(outcomes[0], expected, &result);
    *verdict = notes.join(QStringLiteral(", ")) + QStringLiteral("; on disk: ") + result;
    return whole && wins > 0 && !(writing[0] && writing[1]);
}

bool Judge::fullDisk(QString *verdict)
{
    const QString target = prepare(caseFolder);
    const Tree before = userTree(caseFolder);
    const Outcome outcome = runChild(exportArgs(target, 0));
    const Tree after = userTree(caseFolder);
    if (outcome.succeeded()) {
        *verdict = QStringLiteral("succeeded on a full disk: is the disk a few MB?");
        return false;
    }
    const QString error = outcome.error();
    const QString full = QString::fromLocal8Bit(std::strerror(ENOSPC));
    QStringList faults;
    if (!outcome.trouble.isEmpty())
        faults << outcome.trouble;
    if (!namesTarget(error, target))
        faults << QStringLiteral("does not name the user's path alone");
    if (!error.contains(full))
        faults << QStringLiteral("does not say \"%1\"").arg(full);
    faults << damageAfterFailure(before, after);
    if (faults.isEmpty()) {
        *verdict = QStringLiteral("failed as due: \"%1\"; the user's files kept, nothing left")
                       .arg(oneLine(error));
        return true;
    }
    *verdict = QStringLiteral("failed: \"%1\"; %2").arg(oneLine(error), listed(faults));
    return false;
}

// A local database as a save leaves it: the files of the databases' folder (the database
// file's bytes aside, which SQLite may lay out differently) and every record read back.
struct DatabaseState
{
    Tree files;
    QStringList records;
};

DatabaseState databaseState(const QString &folder)
{
    DatabaseState state;
    const QString databases = QFileInfo(folder).absolutePath();
    state.files = comparableTree(databases);
    for (auto it = state.files.begin(); it != state.files.end(); ++it) {
        if (QFileInfo(it.key()).fileName().startsWith(QLatin1String("sms.db")))
            it.value() = QByteArray("(database)");
    }
    IOS6MessageDb db(QDir(folder), QString(), false);
    QSharedPointer<MsgMessageSet> set;
    MsgMessageSet::create(set);
    db.chats(set);
    db.messages(set, 0);
    state.records = messageSetLines(*set).replaceInStrings(folder, QStringLiteral("DB"));
    return state;
}

bool Judge::save(QString *verdict)
{
    QStringList steps;
    for (const QString &step : { QStringLiteral("new"), QStringLiteral("again") }) {
        const Outcome ref = saveHere(list);
        if (!ref.succeeded()) {
            *verdict = QStringLiteral("the save %1 failed on the local disk too: %2")
                           .arg(step, oneLine(ref.error()));
            return false;
        }
        const DatabaseState expected = databaseState(ref.folder);
        QStringList args { QStringLiteral("save"), setOf(spec.kind),
            work.filePath(QStringLiteral("child-source-") + step) };
        if (!seam.isEmpty())
            args << QStringLiteral("--seam") << seam;
        const Outcome outcome = runChild(args);
        if (!outcome.succeeded()) {
            *verdict
                = QStringLiteral("the save %1 failed: \"%2\"").arg(step, oneLine(outcome.error()));
            return false;
        }
        if (outcome.infos != ref.infos) {
            *verdict = QStringLiteral("the save %1 said \"%2\", on the local disk \"%3\"")
                           .arg(step, outcome.infos.join(QLatin1Char(' ')),
                               ref.infos.join(QLatin1Char(' ')));
            return false;
        }
        const DatabaseState got = databaseState(outcome.folder);
        QStringList differences = treeDifferences(expected.files, got.files);
        if (got.records != expected.records)
            differences << QStringLiteral("the records read back differ");
        if (!differences.isEmpty()) {
            *verdict
                = QStringLiteral("the save %1 succeeded but %2").arg(step, listed(differences));
            return false;
        }
        steps << QStringLiteral("%1: %2 records as on the local disk")
                     .arg(step)
                     .arg(got.records.size());
    }
    *verdict = steps.join(QStringLiteral(", ")) + QStringLiteral(", nothing left");
    return true;
}

// A save into a new local database on a full disk: it says so, names the database the user
// chose (never where it was being built), and leaves nothing in the databases' folder.
bool Judge::fullSave(QString *verdict)
{
    QStringList args { QStringLiteral("save"), setOf(spec.kind),
        work.filePath(QStringLiteral("child-source-full")) };
    if (!seam.isEmpty())
        args << QStringLiteral("--seam") << seam;
    const Outcome outcome = runChild(args);
    if (outcome.succeeded()) {
        *verdict = QStringLiteral("succeeded on a full disk: is the disk a few MB?");
        return false;
    }
    const QString error = outcome.error();
    const QString full = QString::fromLocal8Bit(std::strerror(ENOSPC));
    QStringList faults;
    if (!outcome.trouble.isEmpty())
        faults << outcome.trouble;
    if (outcome.folder.isEmpty() || !namesTarget(error, outcome.folder))
        faults << QStringLiteral("does not name the database alone");
    if (!error.contains(full))
        faults << QStringLiteral("does not say \"%1\"").arg(full);
    if (!outcome.folder.isEmpty())
        faults << damageAfterFailure(Tree(), userTree(QFileInfo(outcome.folder).absolutePath()));
    if (faults.isEmpty()) {
        *verdict = QStringLiteral("failed as due: \"%1\"; nothing left").arg(oneLine(error));
        return true;
    }
    *verdict = QStringLiteral("failed: \"%1\"; %2").arg(oneLine(error), listed(faults));
    return false;
}

int caseMain(QStringList args)
{
    const bool dataHere = takeFlag(args, QStringLiteral("--data-here"));
    setEscapedNames(takeFlag(args, QStringLiteral("--escaped-names")));
    const QString seam = takeOption(args, QStringLiteral("--seam"));
    if (args.size() != 3 || (!seam.isEmpty() && !seamNamed(seam))) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const Case *spec = nullptr;
    for (const Case &c : kCases)
        spec = args.at(1) == QLatin1String(c.name) ? &c : spec;
    if (!spec) {
        std::fprintf(stderr, "no case %s\n", qPrintable(args.at(1)));
        return 2;
    }
    // The local disk's own data folder, for the work that a success must equal.
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    if (!installEnglishTexts()) {
        std::puts("FAIL: the English texts cannot be loaded");
        return 1;
    }
    Judge judge(*spec, args.at(2), dataHere, seam);
    QString verdict;
    const bool passed = judge.run(&verdict);
    // The paths below the folder as the row and column of the table name them.
    verdict.replace(
        QDir::toNativeSeparators(QDir(args.at(2)).absolutePath()) + QLatin1Char('/'), QString());
    std::printf(
        "%s %s: %s\n", passed ? "PASS" : "FAIL", spec->name, qPrintable(oneLine(verdict, 700)));
    return passed ? 0 : 1;
}

int casesMain(const QStringList &args)
{
    const bool full = args.contains(QLatin1String("--full"));
    const bool dataHere = args.contains(QLatin1String("--data-here"));
    for (const Case &c : kCases) {
        const bool onFullDisk = c.kind == Kind::FullDisk || c.kind == Kind::FullSave;
        if (onFullDisk == full && (c.kind != Kind::Save || dataHere))
            std::puts(c.name);
    }
    return 0;
}

// What the window's drive scan does, for a run beside a mount whose daemon does not answer.
int drivesMain()
{
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    QElapsedTimer timer;
    timer.start();
    const BackupDrives drives;
    const QStringList roots = drives.roots();
    const QDir temporary = tempBackupRoot(drives);
    std::printf("PASS drives: %d roots (%s), temporary backups under %s, in %lld ms\n",
        int(roots.size()), qPrintable(roots.join(QLatin1Char(' '))),
        qPrintable(temporary.absolutePath()), timer.elapsed());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const QString command = args.value(0);
    if (command == QLatin1String("export") || command == QLatin1String("save")) {
        if (!installEnglishTexts())
            return 2;
        return childMain(args);
    }
    if (command == QLatin1String("case"))
        return caseMain(args);
    if (command == QLatin1String("cases"))
        return casesMain(args);
    if (command == QLatin1String("drives"))
        return drivesMain();
    std::fputs(kUsage, stderr);
    return 2;
}
