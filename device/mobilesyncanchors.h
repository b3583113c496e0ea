// What a synchronisation session is about: one data class and its two anchors, passed to
// the device as they are.
#pragma once

#include <QString>

struct MobileSyncAnchors
{
    MobileSyncAnchors(const QString &dataClass = QString(), const QString &deviceAnchor = QString(),
        const QString &computerAnchor = QString())
        : dataClass(dataClass)
        , deviceAnchor(deviceAnchor)
        , computerAnchor(computerAnchor)
    {
    }

    QString dataClass;
    QString deviceAnchor;
    QString computerAnchor;
};
