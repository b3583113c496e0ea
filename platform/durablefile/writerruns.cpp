#include "platform/durablefile/writerruns.h"

#include "platform/durablefile/durablefile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QRandomGenerator>
#include <QSet>
#include <QSysInfo>

#include <cerrno>
#include <csignal>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using writerruns::hashOf;

const char folderVariable[] = "QUILLMARROW_WRITER_RUNS";
const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
const int tagSize = 8;
const int randomSize = 6;
const QLatin1String partialSuffix(".partial");

QString randomText(int size)
{
    QString text;
    for (int i = 0; i < size; ++i)
        text
            += QLatin1Char(alphabet[QRandomGenerator::global()->bounded(int(sizeof alphabet) - 1)]);
    return text;
}

QByteArray readSmall(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(64 * 1024) : QByteArray();
}

// When the process started, in ticks since boot (field 22 of /proc/<pid>/stat), which a later
// process with the same id never shares; empty when there is no such process or no /proc.
QByteArray startTime(qint64 pid)
{
    const QByteArray stat = readSmall(QStringLiteral("/proc/%1/stat").arg(pid));
    // The command name may hold blanks and parentheses: the fields start after the last ')'.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 1).simplified().split(' ');
    return fields.size() > 19 ? fields.at(19) : QByteArray();
}

// Eight characters for this boot, eight for this host.
const QString &machine()
{
    static const QString value = hashOf(readSmall("/proc/sys/kernel/random/boot_id"), 8)
        + hashOf(QSysInfo::machineHostName(), 8);
    return value;
}

// What this process knows of its run; a forked child is a run of its own.
struct Run
{
    std::mutex mutex;
    qint64 pid = 0;
    QString name; // "<tag>-<pid>-<start>-<machine>"
    QString runs; // the folder of every run's record
    QSet<QString> noted;
    QStringList partialFolders; // each with a trailing '/'
    bool made = false;

    ~Run()
    {
        // Ended whole: its partials went with their writers.
        if (made && pid == ::getpid())
            QDir(record()).removeRecursively();
    }

    Run &current()
    {
        if (pid != ::getpid()) {
            pid = ::getpid();
            const QByteArray start = startTime(pid);
            name = QStringLiteral("%1-%2-%3-%4")
                       .arg(randomText(tagSize), QString::number(pid),
                           QString::fromLatin1(start.isEmpty() ? "0" : start), machine());
            noted.clear();
            partialFolders.clear();
            made = false;
        }
        if (runs.isEmpty() && !qEnvironmentVariableIsEmpty(folderVariable))
            runs = QFile::decodeName(qgetenv(folderVariable)) + QStringLiteral("/runs");
        return *this;
    }

    QString record() const { return runs + QLatin1Char('/') + name; }

    // Notes `content` under `entry` in the record, made on first use; synced with `sync`.
    void note(const QString &entry, const QByteArray &content, bool sync)
    {
        if (runs.isEmpty() || (!made && !QDir().mkpath(record())))
            return;
        if (!made) {
            durable::syncPath(runs, true);
            made = true;
        }
        const int code = durable::createWith(record() + QLatin1Char('/') + entry, content, sync);
        if (sync && (code == 0 || code == EEXIST))
            durable::syncPath(record(), true);
    }
};

// This process's run, held until the end of the caller's statement or of its copy's life.
struct HeldRun
{
    std::unique_lock<std::mutex> lock;
    Run *run;
    Run *operator->() const { return run; }
};

HeldRun run()
{
    static Run state;
    std::unique_lock<std::mutex> lock(state.mutex);
    return { std::move(lock), &state.current() };
}

bool isPartialOf(const QString &entry, const QString &tag)
{
    const int tagAt = entry.size() - partialSuffix.size() - randomSize - tagSize;
    return tagAt > 2 && entry.startsWith(QLatin1Char('.'))
        && entry.at(tagAt - 1) == QLatin1Char('.') && entry.endsWith(partialSuffix)
        && entry.mid(tagAt, tagSize) == tag;
}

// Which entry this is: its inode may be another's once freed, its change time with it not.
QByteArray identity(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QByteArray();
    return QByteArray::number(quint64(st.st_ino)) + ':'
        + QByteArray::number(qint64(st.st_ctim.tv_sec)) + '.'
        + QByteArray::number(qint64(st.st_ctim.tv_nsec));
}

// A dead run's partials in `folder` go, and what it reserved there while the empty entry it made.
void removeLeftoversOf(const QDir &record, const QString &folder)
{
    const QString tag = record.dirName().left(tagSize);
    const QString folderNote = record.filePath(QLatin1Char('f') + hashOf(folder));
    if (QString::fromUtf8(readSmall(folderNote)) == folder) {
        const QDir dir(folder);
        for (const QString &entry :
            dir.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)) {
            const QFileInfo info(dir.filePath(entry));
            if (isPartialOf(entry, tag) && info.isDir() && !info.isSymLink())
                QDir(info.filePath()).removeRecursively();
            else if (isPartialOf(entry, tag))
                QFile::remove(info.filePath());
        }
        QFile::remove(folderNote);
    }
    for (const QString &note : record.entryList({ QStringLiteral("r*") }, QDir::Files)) {
        const QList<QByteArray> lines = readSmall(record.filePath(note)).split('\n');
        const QString path = QString::fromUtf8(lines.value(1));
        if (QFileInfo(path).path() == folder && identity(path) == lines.at(0) && !QDir().rmdir(path)
            && QFileInfo(path).size() == 0)
            QFile::remove(path);
        if (QFileInfo(path).path() == folder)
            QFile::remove(record.filePath(note));
    }
    QDir().rmdir(record.path()); // once nothing is noted in it
}

} // namespace

namespace writerruns {

QString hashOf(const QString &text, int size)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toHex().left(size));
}

QString canonicalPath(const QString &path)
{
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QString rest;
    for (QString probe = absolute;; probe = QFileInfo(probe).path()) {
        const QFileInfo info(probe);
        if (!info.canonicalFilePath().isEmpty())
            return QDir::cleanPath(info.canonicalFilePath() + QLatin1Char('/') + rest);
        if (info.path() == probe)
            return absolute;
        rest = info.fileName() + QLatin1Char('/') + rest;
    }
}

void setFolder(const QString &path)
{
    run()->runs = path.isEmpty() ? QString() : QDir::cleanPath(path) + QStringLiteral("/runs");
    qputenv(folderVariable, QFile::encodeName(QDir::cleanPath(path)));
}

QString folder()
{
    const QString runs = run()->runs;
    return runs.isEmpty() ? QString() : QFileInfo(runs).path();
}

QString name()
{
    return run()->name;
}

QString partialPath(const QString &target)
{
    const QFileInfo info(target);
    return info.path() + QStringLiteral("/.") + info.fileName().left(64) + QLatin1Char('.')
        + name().left(tagSize) + randomText(randomSize) + partialSuffix;
}

void noteFolderOf(const QString &entry)
{
    const QString absolute = QFileInfo(entry).absolutePath();
    const HeldRun state = run();
    if (state->noted.contains(absolute))
        return;
    state->noted.insert(absolute);
    const QString canonical = QFileInfo(absolute).canonicalFilePath();
    for (const QString &partial : qAsConst(state->partialFolders)) {
        if ((canonical + QLatin1Char('/')).startsWith(partial))
            return;
    }
    if (!canonical.isEmpty())
        state->note(QLatin1Char('f') + hashOf(canonical), canonical.toUtf8(), true);
}

void notePartialFolder(const QString &folder)
{
    run()->partialFolders.append(QFileInfo(folder).canonicalFilePath() + QLatin1Char('/'));
}

Reservation::Reservation(const QString &path)
{
    const QString canonical = canonicalPath(path);
    const HeldRun state = run();
    if (state->runs.isEmpty())
        return;
    const QString entry = QLatin1Char('r') + hashOf(canonical);
    // Not synced: a kill keeps it, and after a power loss the entry it names may be gone too.
    state->note(entry, identity(path) + '\n' + canonical.toUtf8(), false);
    note = state->record() + QLatin1Char('/') + entry;
}

Reservation::~Reservation()
{
    QFile::remove(note);
}

bool isLive(const QString &record)
{
    const QStringList parts = record.split(QLatin1Char('-'));
    if (parts.size() != 4 || parts.at(0).size() != tagSize)
        return false;
    // A run of another host may live: nothing here can tell.
    if (parts.at(3).mid(8) != machine().mid(8))
        return true;
    const qint64 pid = parts.at(1).toLongLong();
    if (parts.at(3) != machine() || pid <= 0)
        return false;
    if (parts.at(2) == QLatin1String("0")) // no /proc where it ran
        return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
    return startTime(pid) == parts.at(2).toLatin1();
}

void removeDeadLeftovers(const QString &path)
{
    const QString folder = QFileInfo(path).canonicalFilePath();
    const QString runs = run()->runs;
    if (folder.isEmpty() || runs.isEmpty())
        return;
    for (const QString &record : QDir(runs).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!isLive(record))
            removeLeftoversOf(QDir(runs + QLatin1Char('/') + record), folder);
    }
}

} // namespace writerruns
