#include "backup/backuppatch.h"

#include "backup/mbdb.h"
#include "platform/durablefile/durablefile.h"
#include "shell/datafolder.h"
#include "shell/runtimeerror.h"

#include <QFile>
#include <QFileInfo>
#include <QtDebug>

#include <filesystem>
#include <system_error>

const char BackupPatch::stagingName[] = ".quillmarrow-patch";

namespace {

const char kIndexName[] = "Manifest.mbdb";
const char kJournalName[] = "journal";
// Earlier versions wrote journals without digests; one of those may still wait to be finished.
const char kJournalHeaderWithoutDigests[] = "QuillMarrow backup patch 1";
const char kJournalHeader[] = "QuillMarrow backup patch 2";
const char kStagedIndexName[] = "index";

using Change = BackupPatch::Change;

struct Journal
{
    QList<Change> changes;
    QByteArray indexBefore;
    QByteArray indexAfter;
};

enum class Outcome { Nothing, Finished, Dropped, Damaged };

// `reason` is what failed and why, as the system said it.
[[noreturn]] void cannotOverwrite(const QString &path, const QString &reason)
{
    throwRuntimeError(QStringLiteral("can not overwrite %1. %2").arg(path, reason));
}

QString cannotRead(const QString &path)
{
    return QStringLiteral("%1 can not be read.").arg(QDir::toNativeSeparators(path));
}

std::string localName(const QString &path)
{
    return QFile::encodeName(path).toStdString();
}

bool isPresent(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// One writer per backup, across windows and processes; a second lock of this process is
// refused too. Only a dead holder lets the lock go, as a write can take minutes.
TargetLock::State lockBackup(const QDir &folder, TargetLock &lock)
{
    dataFolder(); // where the locks are kept
    return lock.lock(folder.absolutePath());
}

// Keeps the file at `target` also under `aside` while `target` stays in place. False, with
// *error, when it could not.
bool keepAside(const QDir &folder, const QString &target, const QString &aside,
    const QString &staging, QString *error)
{
    std::error_code linkError;
    std::filesystem::create_hard_link(localName(target), localName(aside), linkError);
    if (!linkError) {
        // The kept name must outlast a power loss that the replacement survives.
        if (durable::syncFolder(folder.absolutePath()))
            return true;
        *error = QStringLiteral("%1 can not be synced.")
                     .arg(QDir::toNativeSeparators(folder.absolutePath()));
        return false;
    }
    // A file system without hard links: a whole copy, made in the staging folder, moves in.
    const QString copy = staging + QStringLiteral("/aside");
    QFile::remove(copy);
    return durable::copyFile(target, copy, error) && durable::renameOver(copy, aside, error);
}

// Idempotent, so that a patch killed anywhere in here is finished by running it again.
void install(const QDir &folder, const QString &staging, const Change &change)
{
    const QString staged = staging + QLatin1Char('/') + change.staged;
    if (!QFileInfo::exists(staged))
        return; // moved in already: its digest was checked at its place
    const QString target = folder.filePath(change.target);
    if (change.aside.isEmpty()) {
        if (isPresent(target))
            return; // something came there meanwhile: it stays
    } else if (isPresent(target) && !isPresent(folder.filePath(change.aside))) {
        QString error;
        if (!keepAside(folder, target, folder.filePath(change.aside), staging, &error))
            cannotOverwrite(target, error);
    }
    // The rename takes the place of an existing file in one step (a link there is replaced,
    // never followed), so that readers find either the old file or the new one.
    QString error;
    if (!durable::renameOver(staged, target, &error))
        cannotOverwrite(target, error);
}

// Every staged file still holds what was staged, and every one moved in already holds it at
// its place: a copy damaged after staging (a power loss, another program) never goes in.
bool stagedIntact(const QDir &folder, const QString &staging, const QList<Change> &changes)
{
    for (const Change &c : changes) {
        if (c.digest.isEmpty())
            continue;
        const QString staged = staging + QLatin1Char('/') + c.staged;
        const QString holder = QFileInfo::exists(staged) ? staged : folder.filePath(c.target);
        if (sha1OfFile(holder) != c.digest)
            return false;
    }
    return true;
}

// Puts back what an earlier run of a damaged patch moved in, the last first, so that the
// backup is again as it was before the patch.
void rollBack(const QDir &folder, const QString &staging, const QList<Change> &changes)
{
    for (auto c = changes.crbegin(); c != changes.crend(); ++c) {
        const QString target = folder.filePath(c->target);
        if (QFileInfo::exists(staging + QLatin1Char('/') + c->staged)
            || sha1OfFile(target) != c->digest)
            continue;
        if (c->aside.isEmpty())
            QFile::remove(target);
        else if (isPresent(folder.filePath(c->aside)))
            durable::renameOver(folder.filePath(c->aside), target);
    }
}

QByteArray journalText(const QList<Change> &changes, const QByteArray &indexBefore)
{
    QByteArray text = QByteArray(kJournalHeader) + '\n';
    for (const Change &c : changes) {
        if (c.staged == QLatin1String(kStagedIndexName))
            text += "index\t" + indexBefore.toHex() + '\t' + c.digest.toHex() + '\n';
    }
    for (const Change &c : changes) {
        text += (c.aside.isEmpty() ? "add" : "replace") + QByteArray("\t") + c.staged.toUtf8()
            + '\t' + c.target.toUtf8() + '\t' + c.digest.toHex();
        if (!c.aside.isEmpty())
            text += '\t' + c.aside.toUtf8();
        text += '\n';
    }
    return text;
}

// The journal as written, or false when it is missing, cut short or names anything but
// single entries of the two folders (it lies in a folder that may come from elsewhere).
bool readJournal(const QString &path, Journal *journal)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.size() < 2 || !lines.last().isEmpty())
        return false;
    const bool withDigests = lines.first() == kJournalHeader;
    if (!withDigests && lines.first() != kJournalHeaderWithoutDigests)
        return false;
    for (int i = 1; i + 1 < lines.size(); ++i) {
        QList<QByteArray> fields = lines.at(i).split('\t');
        const QByteArray kind = fields.takeFirst();
        if (kind == "index" && fields.size() == 2) {
            journal->indexBefore = QByteArray::fromHex(fields.at(0));
            journal->indexAfter = QByteArray::fromHex(fields.at(1));
            continue;
        }
        Change c;
        if (withDigests) {
            if (fields.size() < 3)
                return false;
            c.digest = QByteArray::fromHex(fields.takeAt(2));
            if (c.digest.size() != 20)
                return false;
        }
        const bool replace = kind == "replace" && fields.size() == 3;
        if (!replace && !(kind == "add" && fields.size() == 2))
            return false;
        c.staged = QString::fromUtf8(fields.at(0));
        c.target = QString::fromUtf8(fields.at(1));
        if (replace)
            c.aside = QString::fromUtf8(fields.at(2));
        if (!isOneFolderEntry(c.staged) || !isOneFolderEntry(c.target)
            || (replace && !isOneFolderEntry(c.aside)))
            return false;
        journal->changes.append(c);
    }
    return true;
}

// What an interrupted patch left, finished or dropped; the caller holds the backup's lock.
Outcome finish(const QDir &folder)
{
    const QString staging = folder.filePath(QLatin1String(BackupPatch::stagingName));
    const QFileInfo info(staging);
    if (!info.isDir() || info.isSymLink())
        return Outcome::Nothing;
    Outcome outcome = Outcome::Dropped;
    Journal journal;
    if (readJournal(staging + QLatin1Char('/') + QLatin1String(kJournalName), &journal)) {
        const QByteArray now = sha1OfFile(folder.filePath(QLatin1String(kIndexName)));
        if (journal.indexAfter.isEmpty() || now == journal.indexBefore
            || now == journal.indexAfter) {
            if (stagedIntact(folder, staging, journal.changes)) {
                for (const Change &c : qAsConst(journal.changes))
                    install(folder, staging, c);
                outcome = Outcome::Finished;
            } else {
                rollBack(folder, staging, journal.changes);
                outcome = Outcome::Damaged;
            }
        }
    }
    QFile::remove(staging + QLatin1Char('/') + QLatin1String(kJournalName));
    removeFolderRecursively(staging);
    return outcome;
}

QString damagedText(const QDir &folder)
{
    return QStringLiteral("A file staged for the backup %1 changed before it was moved in; the "
                          "backup is left as it was.")
        .arg(QDir::toNativeSeparators(folder.absolutePath()));
}

} // namespace

BackupPatch::BackupPatch(const QDir &backupFolder, qint64 stamp)
    : folder(backupFolder)
    , stamp(stamp)
{
    const TargetLock::State state = lockBackup(folder, lock);
    if (state == TargetLock::Busy)
        throwRuntimeError(
            QStringLiteral("Another window is writing into the backup %1. Try again once it "
                           "has finished.")
                .arg(QDir::toNativeSeparators(folder.absolutePath())));
    if (state != TargetLock::Held)
        cannotOverwrite(folder.filePath(QLatin1String(kIndexName)), lock.error());
    // What an earlier run left is finished or dropped before this one stages anything.
    if (finish(folder) == Outcome::Damaged)
        qWarning().noquote() << damagedText(folder);
}

BackupPatch::~BackupPatch()
{
    if (staging && !committed)
        removeFolderRecursively(stagingPath());
}

QString BackupPatch::stagingPath() const
{
    return folder.filePath(QLatin1String(stagingName));
}

void BackupPatch::startStaging(const QString &target)
{
    if (staging)
        return;
    std::error_code error;
    if (!std::filesystem::create_directory(localName(stagingPath()), error) || error)
        cannotOverwrite(target,
            QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(stagingPath()),
                error ? QString::fromStdString(error.message())
                      : QStringLiteral("something else has its name")));
    staging = true;
}

QString BackupPatch::stage(const QString &name, const QString &source, bool keepAside)
{
    const QString target = folder.filePath(name);
    startStaging(target);
    Change change;
    change.staged = QString::number(changes.size() + 1);
    change.target = name;
    if (keepAside)
        change.aside = asideName(name);
    const QString staged = stagingPath() + QLatin1Char('/') + change.staged;
    QString error;
    if (!durable::copyFile(source, staged, &error))
        cannotOverwrite(target, error);
    // Taken from the staged copy itself, so that the journal vouches for what lies there.
    change.digest = sha1OfFile(staged);
    if (change.digest.isEmpty())
        cannotOverwrite(target, cannotRead(staged));
    changes.append(change);
    return staged;
}

QString BackupPatch::replaceFile(const QString &name, const QString &source)
{
    return stage(name, source, true);
}

QString BackupPatch::addFile(const QString &name, const QString &source)
{
    for (const Change &c : qAsConst(changes)) {
        if (c.target == name)
            return stagingPath() + QLatin1Char('/') + c.staged;
    }
    if (isPresent(folder.filePath(name)))
        return QString();
    return stage(name, source, false);
}

void BackupPatch::writeIndex(const MbdbIndex &records)
{
    const QString target = folder.filePath(QLatin1String(kIndexName));
    startStaging(target);
    const QString staged = stagingPath() + QLatin1Char('/') + QLatin1String(kStagedIndexName);
    saveMbdb(records.values(), staged);
    indexBefore = sha1OfFile(target);
    index.digest = sha1OfFile(staged);
    if (index.digest.isEmpty())
        cannotOverwrite(target, cannotRead(staged));
    index.staged = QLatin1String(kStagedIndexName);
    index.target = QLatin1String(kIndexName);
    index.aside = asideName(index.target);
}

void BackupPatch::commit()
{
    if (!staging) {
        committed = true;
        return;
    }
    QList<Change> all = changes;
    if (!index.staged.isEmpty())
        all.append(index);
    // The journal appears whole or not at all: its rename is the point of no return.
    QString error;
    if (!durable::writeFile(stagingPath() + QLatin1Char('/') + QLatin1String(kJournalName),
            journalText(all, indexBefore), &error))
        cannotOverwrite(folder.filePath(QLatin1String(kIndexName)), error);
    committed = true;
    if (finish(folder) == Outcome::Damaged)
        throwRuntimeError(damagedText(folder));
}

QString BackupPatch::asideName(const QString &target) const
{
    const QString base = target + QLatin1Char('-') + QString::number(stamp);
    QString name = base;
    // Two runs within one second must not lose the first one's kept file.
    for (int n = 2; isPresent(folder.filePath(name)); ++n)
        name = base + QLatin1Char('-') + QString::number(n);
    return name;
}

void BackupPatch::finishInterrupted(const QDir &backupFolder)
{
    if (!isPresent(backupFolder.filePath(QLatin1String(stagingName))))
        return;
    // Another window's patch under way is its own; a lock whose holder died is taken over.
    TargetLock lock;
    if (lockBackup(backupFolder, lock) != TargetLock::Held)
        return;
    if (finish(backupFolder) == Outcome::Damaged)
        qWarning().noquote() << damagedText(backupFolder);
}
