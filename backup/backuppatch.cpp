#include "backup/backuppatch.h"

#include "backup/mbdb.h"
#include "platform/durablefile/durablefile.h"
#include "shell/datafolder.h"
#include "shell/runtimeerror.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>
#include <filesystem>
#include <system_error>

const char BackupPatch::stagingName[] = ".quillmarrow-patch";

namespace {

const char kIndexName[] = "Manifest.mbdb";
const char kJournalName[] = "journal";
const char kJournalHeader[] = "QuillMarrow backup patch 1";
const char kStagedIndexName[] = "index";

using Change = BackupPatch::Change;

[[noreturn]] void cannotOverwrite(const QString &path)
{
    throwRuntimeError(QStringLiteral("can not overwrite %1.").arg(path));
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

// rename() takes the place of an existing file in one step (a link there is replaced, never
// followed), so that readers find either the old file or the new one.
bool moveOver(const QString &from, const QString &to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// Keeps the file at `target` also under `aside` while `target` stays in place.
bool keepAside(const QString &target, const QString &aside, const QString &staging)
{
    std::error_code error;
    std::filesystem::create_hard_link(localName(target), localName(aside), error);
    if (!error)
        return true;
    // A file system without hard links: a whole copy, made in the staging folder, moves in.
    const QString copy = staging + QStringLiteral("/aside");
    QFile::remove(copy);
    return durable::copyFile(target, copy) && QFile::rename(copy, aside);
}

// Idempotent, so that a patch killed anywhere in here is finished by running it again.
void install(const QDir &folder, const QString &staging, const Change &change)
{
    const QString staged = staging + QLatin1Char('/') + change.staged;
    if (!QFileInfo::exists(staged))
        return; // moved in already
    const QString target = folder.filePath(change.target);
    if (change.aside.isEmpty()) {
        if (isPresent(target))
            return; // something came there meanwhile: it stays
    } else if (isPresent(target) && !isPresent(folder.filePath(change.aside))) {
        if (!keepAside(target, folder.filePath(change.aside), staging))
            cannotOverwrite(target);
    }
    if (!moveOver(staged, target))
        cannotOverwrite(target);
}

QByteArray journalText(
    const QList<Change> &changes, const QByteArray &indexBefore, const QByteArray &indexAfter)
{
    QByteArray text = QByteArray(kJournalHeader) + '\n';
    if (!indexAfter.isEmpty())
        text += "index\t" + indexBefore.toHex() + '\t' + indexAfter.toHex() + '\n';
    for (const Change &c : changes) {
        text += (c.aside.isEmpty() ? "add" : "replace") + QByteArray("\t") + c.staged.toUtf8()
            + '\t' + c.target.toUtf8();
        if (!c.aside.isEmpty())
            text += '\t' + c.aside.toUtf8();
        text += '\n';
    }
    return text;
}

// The journal as written, or false when it is missing, cut short or names anything but
// single entries of the two folders (it lies in a folder that may come from elsewhere).
bool readJournal(
    const QString &path, QList<Change> *changes, QByteArray *indexBefore, QByteArray *indexAfter)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.size() < 2 || lines.first() != kJournalHeader || !lines.last().isEmpty())
        return false;
    for (int i = 1; i + 1 < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).split('\t');
        if (fields.first() == "index" && fields.size() == 3) {
            *indexBefore = QByteArray::fromHex(fields.at(1));
            *indexAfter = QByteArray::fromHex(fields.at(2));
            continue;
        }
        const bool replace = fields.first() == "replace" && fields.size() == 4;
        if (!replace && !(fields.first() == "add" && fields.size() == 3))
            return false;
        Change c;
        c.staged = QString::fromUtf8(fields.at(1));
        c.target = QString::fromUtf8(fields.at(2));
        if (replace)
            c.aside = QString::fromUtf8(fields.at(3));
        if (!isOneFolderEntry(c.staged) || !isOneFolderEntry(c.target)
            || (replace && !isOneFolderEntry(c.aside)))
            return false;
        changes->append(c);
    }
    return true;
}

} // namespace

BackupPatch::BackupPatch(const QDir &backupFolder, qint64 stamp)
    : folder(backupFolder)
    , stamp(stamp)
{
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
    // What an earlier run left is finished or dropped before this one stages anything.
    finishInterrupted(folder);
    if (!QDir().mkdir(stagingPath()))
        cannotOverwrite(target);
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
    if (!durable::copyFile(source, staged))
        cannotOverwrite(target);
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
    indexAfter = sha1OfFile(staged);
    if (indexAfter.isEmpty())
        cannotOverwrite(target);
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
    // The journal appears whole or not at all: this rename is the point of no return.
    QSaveFile journal(stagingPath() + QLatin1Char('/') + QLatin1String(kJournalName));
    if (!journal.open(QIODevice::WriteOnly)
        || journal.write(journalText(all, indexBefore, indexAfter)) < 0 || !journal.commit())
        cannotOverwrite(folder.filePath(QLatin1String(kIndexName)));
    committed = true;
    finishInterrupted(folder);
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
    const QString staging = backupFolder.filePath(QLatin1String(stagingName));
    const QFileInfo info(staging);
    if (!info.isDir() || info.isSymLink())
        return;
    QList<Change> changes;
    QByteArray before;
    QByteArray after;
    if (readJournal(
            staging + QLatin1Char('/') + QLatin1String(kJournalName), &changes, &before, &after)) {
        const QByteArray now = sha1OfFile(backupFolder.filePath(QLatin1String(kIndexName)));
        if (after.isEmpty() || now == before || now == after) {
            for (const Change &c : qAsConst(changes))
                install(backupFolder, staging, c);
        }
    }
    QFile::remove(staging + QLatin1Char('/') + QLatin1String(kJournalName));
    removeFolderRecursively(staging);
}
