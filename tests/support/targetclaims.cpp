#include "support/targetclaims.h"

#include "platform/durablefile/targetlock.h"

QString claimOfThisRun(const QString &target)
{
    // A second lock of this process finds the first one's claim, which it names.
    TargetLock held;
    TargetLock second;
    if (held.lock(target) != TargetLock::Held || second.lock(target) != TargetLock::Busy)
        return QString();
    return second.error();
}
