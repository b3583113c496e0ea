#include "operations/stagedfile.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

namespace {

const char partialSuffix[] = ".partial";

} // namespace

void StagedFile::removeLeftovers(const QString &path)
{
    const QFileInfo target(path);
    const QString prefix = target.fileName() + QLatin1Char('.');
    const int length = prefix.size() + 6 + int(qstrlen(partialSuffix));
    const QDir folder = target.dir();
    for (const QString &name :
        folder.entryList({ QStringLiteral("*") + QLatin1String(partialSuffix) },
            QDir::Files | QDir::Hidden | QDir::System)) {
        if (name.size() == length && name.startsWith(prefix))
            QFile::remove(folder.filePath(name));
    }
}

StagedFile::StagedFile(const QString &target)
    : targetPath(target)
{
}

StagedFile::~StagedFile() = default;

bool StagedFile::open()
{
    const QFileInfo info(targetPath);
    // Replacing goes through QSaveFile, which keeps the old file's permissions; a new name
    // is linked in by the rename of a temporary file, which never replaces anything.
    replacing = info.exists();
    if (replacing) {
        file.reset(new QSaveFile(targetPath));
        if (file->open(QIODevice::WriteOnly))
            return true;
    } else {
        auto *temporary = new QTemporaryFile(
            targetPath + QStringLiteral(".XXXXXX") + QLatin1String(partialSuffix));
        file.reset(temporary);
        if (temporary->open())
            return true;
    }
    error = file->errorString();
    file.reset();
    return false;
}

bool StagedFile::commit()
{
    if (!file->flush()) {
        error = file->errorString();
        return false;
    }
    if (replacing) {
        auto *save = static_cast<QSaveFile *>(file.get());
        if (save->commit())
            return true;
        error = save->errorString();
        return false;
    }
    auto *temporary = static_cast<QTemporaryFile *>(file.get());
    // Those of a file made directly: its owner may write it, everyone may read it.
    temporary->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup
        | QFileDevice::ReadOther);
    if (!temporary->rename(targetPath)) {
        error = temporary->errorString();
        return false;
    }
    // Otherwise the temporary file object would remove its file under the new name.
    temporary->setAutoRemove(false);
    return true;
}
