#include "support/targetclaims.h"

#include "platform/durablefile/targetlock.h"

#include <QRegularExpression>

QString claimStemOfThisRun(const QString &target)
{
    // A second lock of this process finds the first one's claim, which it names.
    TargetLock held;
    TargetLock second;
    if (held.lock(target) != TargetLock::Held || second.lock(target) != TargetLock::Busy)
        return QString();
    return second.error().section(QLatin1Char('.'), 0, -2);
}

QString withClaimStem(QString text, const QString &stem)
{
    return text.replace(
        QRegularExpression(QRegularExpression::escape(stem) + QStringLiteral("\\.[0-9]+")), stem);
}
