// Keeps two runs of the program, in any of its windows, from writing one target at once. A run
// holds a target by a claim in the program's own folder (writerruns.h) named for the target's
// canonical path and for the run's record: made exclusively and never reused, so that a claim of
// a run that no longer lives is removed without racing anyone, and nothing is ever put beside
// the target. Runs that claim one target at the same moment all give way, and try again after
// pauses of their own.
#pragma once

#include <QString>
#include <QStringList>

class TargetLock
{
public:
    enum State {
        Unlocked,
        Held,
        Busy, // a live run, maybe of this process, holds it; error() names its claim
        Failed, // no claim could be made; error() names it and the system's reason
    };

    TargetLock() = default;
    ~TargetLock() { unlock(); }
    Q_DISABLE_COPY(TargetLock)

    // Tries until it holds or `waitMs` have passed. Without a folder for the program's
    // records it holds without a claim.
    State lock(const QString &target, int waitMs = 0);
    void unlock();

    QString error() const { return reason; }
    // A file in the program's folder for the holder's own notes on the target, kept until
    // the next holder reads them; empty where there is no such folder.
    QString notesPath() const;

private:
    // Busy with the claims that met this one in `rivals`.
    State tryOnce(const QString &folder, QStringList *rivals);

    State current = Unlocked;
    QString key;
    QString claim;
    QString reason;
};
