#include "operations/localdblock.h"

#include "shell/datafolder.h"

#include <QFileInfo>

#include <stdexcept>

namespace {

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toStdString());
}

} // namespace

LocalDbLock::LocalDbLock(const QDir &folder)
    : folder(QDir::cleanPath(folder.absolutePath()))
{
}

LocalDbLock::~LocalDbLock() = default;

void LocalDbLock::lock()
{
    const QString name = folder.dirName();
    const QString parent = QFileInfo(folder.absolutePath()).absolutePath();
    if (!QDir().mkpath(parent))
        fail(QStringLiteral("Cannot create the folder %1.").arg(parent));
    dataFolder(); // where the locks are kept
    switch (held.lock(folder.absolutePath())) {
    case TargetLock::Held:
        return;
    case TargetLock::Busy:
        fail(QStringLiteral("Another window is writing into the local database \"%1\". "
                            "Please try again when it has finished.")
                 .arg(name));
    default:
        fail(QStringLiteral("Cannot lock the local database \"%1\" for writing: %2.")
                 .arg(name, held.error()));
    }
}

void LocalDbLock::unlock()
{
    held.unlock();
}
