#include "operations/backuppatch.h"

#include "backup/mbdb.h"
#include "shell/datafolder.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <stdexcept>

namespace {

[[noreturn]] void cannotOverwrite(const QString &path)
{
    throw std::runtime_error(QStringLiteral("can not overwrite %1.").arg(path).toStdString());
}

} // namespace

BackupPatch::BackupPatch(const QDir &backupFolder, qint64 stamp)
    : folder(backupFolder)
    , stamp(stamp)
{
}

BackupPatch::~BackupPatch()
{
    rollback();
}

void BackupPatch::replaceFile(const QString &name, const QString &source)
{
    const QString target = folder.filePath(name);
    install(temporaryCopy(target, source), target);
}

bool BackupPatch::addFile(const QString &name, const QString &source)
{
    const QString target = folder.filePath(name);
    if (QFileInfo::exists(target))
        return false;
    const QString temporary = temporaryCopy(target, source);
    // rename() never replaces a file, so one that appeared meanwhile is left alone.
    if (!QFile::rename(temporary, target)) {
        QFile::remove(temporary);
        cannotOverwrite(target);
    }
    changes.append({ target, QString() });
    return true;
}

void BackupPatch::writeIndex(const MbdbIndex &index)
{
    const QString target = folder.filePath(QStringLiteral("Manifest.mbdb"));
    const QString temporary = temporaryPath(target);
    try {
        saveMbdb(index.values(), temporary);
    } catch (...) {
        QFile::remove(temporary);
        throw;
    }
    install(temporary, target);
}

void BackupPatch::commit()
{
    changes.clear();
}

void BackupPatch::rollback()
{
    while (!changes.isEmpty()) {
        const Change change = changes.takeLast();
        QFile::remove(change.target);
        if (!change.keptAside.isEmpty())
            QFile::rename(change.keptAside, change.target);
    }
}

QString BackupPatch::temporaryPath(const QString &target)
{
    QTemporaryFile file(target + QStringLiteral(".XXXXXX"));
    file.setAutoRemove(false);
    if (!file.open())
        cannotOverwrite(target);
    return file.fileName();
}

QString BackupPatch::temporaryCopy(const QString &target, const QString &source)
{
    const QString temporary = temporaryPath(target);
    if (!copyFileOver(source, temporary)) {
        QFile::remove(temporary);
        cannotOverwrite(target);
    }
    return temporary;
}

void BackupPatch::install(const QString &temporary, const QString &target)
{
    QString aside;
    if (QFileInfo::exists(target)) {
        aside = asidePath(target);
        if (!QFile::rename(target, aside)) {
            QFile::remove(temporary);
            cannotOverwrite(target);
        }
    }
    if (!QFile::rename(temporary, target)) {
        QFile::remove(temporary);
        if (!aside.isEmpty())
            QFile::rename(aside, target);
        cannotOverwrite(target);
    }
    changes.append({ target, aside });
}

QString BackupPatch::asidePath(const QString &target) const
{
    const QString base = target + QLatin1Char('-') + QString::number(stamp);
    QString path = base;
    // Two runs within one second must not lose the first one's kept file.
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = base + QLatin1Char('-') + QString::number(n);
    return path;
}
