#include "platform/durablefile/targetlock.h"

#include "platform/durablefile/durablefile.h"
#include "platform/durablefile/writerruns.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QRandomGenerator>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

TargetLock::State TargetLock::lock(const QString &target, int waitMs)
{
    unlock();
    key = writerruns::hashOf(writerruns::canonicalPath(target), 24);
    const QString folder = writerruns::folder();
    if (folder.isEmpty())
        return current = Held;
    const QDeadlineTimer deadline(waitMs);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        QStringList rivals;
        if (tryOnce(folder + QStringLiteral("/locks"), &rivals) != Busy)
            return current;
        // Runs claiming at the same moment meet and all give way: after a pause of its own, one
        // comes first; a rival's claim still there then holds the target.
        QThread::msleep(QRandomGenerator::global()->bounded(5, 40));
        if (deadline.hasExpired()
            && std::any_of(rivals.cbegin(), rivals.cend(),
                [](const QString &rival) { return QFileInfo::exists(rival); }))
            break;
    }
    return current = Busy;
}

TargetLock::State TargetLock::tryOnce(const QString &folder, QStringList *rivals)
{
    // Each claim of a run has a number of its own: a claim is never made twice.
    static std::atomic<quint64> claims { 0 };
    const QString path = folder + QLatin1Char('/') + key + QLatin1Char('.') + writerruns::name()
        + QLatin1Char('.') + QString::number(++claims);
    QDir().mkpath(folder);
    reason = QDir::toNativeSeparators(path);
    if (const int code = durable::createWith(path, key.toUtf8(), false)) {
        reason += QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(code));
        return current = Failed;
    }
    const QDir locks(folder);
    for (const QString &name : locks.entryList(QDir::Files)) {
        if (locks.filePath(name) == path)
            continue;
        // Claims of runs that ended without letting go go here, whatever they held.
        if (!writerruns::isLive(name.section(QLatin1Char('.'), 1, 1)))
            QFile::remove(locks.filePath(name));
        else if (name.startsWith(key + QLatin1Char('.')))
            rivals->append(locks.filePath(name));
    }
    if (!rivals->isEmpty()) {
        QFile::remove(path);
        reason = QDir::toNativeSeparators(rivals->first());
        return current = Busy;
    }
    reason.clear();
    claim = path;
    return current = Held;
}

void TargetLock::unlock()
{
    if (!claim.isEmpty())
        QFile::remove(claim);
    claim.clear();
    current = Unlocked;
}

QString TargetLock::notesPath() const
{
    const QString folder = writerruns::folder();
    const QString notes = folder + QStringLiteral("/notes");
    if (folder.isEmpty() || key.isEmpty() || !QDir().mkpath(notes))
        return QString();
    return notes + QLatin1Char('/') + key;
}
