// What the window's commands and flows ask of the desktop and of the user outside the window
// itself: file and folder choosers, the database-name, backup, password and device dialogs,
// the print preview, the About box, context menus, web pages and folders, and the clock.
// Each defaults to the real thing; tests replace them.
#pragma once

#include "records/msgrecords.h"
#include "view/datasourceselform.h"

#include <QDateTime>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include <functional>

class BackupManifest;
class QMenu;
class QWidget;

struct WindowServices
{
    // The save-file dialog; sets `filter` to the chosen filter. Empty when cancelled.
    std::function<QString(QWidget *parent, const QString &caption, const QString &proposed,
        const QString &filters, QString *filter)>
        saveFileName;
    // The directory chooser; empty when cancelled.
    std::function<QString(QWidget *parent, const QString &caption, const QString &start)>
        existingFolder;
    // The local database name dialog; empty when cancelled.
    std::function<QString(QWidget *parent, const QStringList &names, const QString &proposed)>
        localDbName;
    // The backup chooser; the chosen backup with its Manifest.plist read, or null.
    std::function<QSharedPointer<BackupManifest>(QWidget *parent)> chooseBackup;
    // The password dialog of an encrypted backup; true once the backup is unlocked.
    std::function<bool(QWidget *parent, BackupManifest *backup)> unlockBackup;
    // The country dialog; sets the chosen mobile country code, false when none was chosen.
    std::function<bool(QWidget *parent, QString *code)> chooseCountry;
    // The device chooser; the chosen item's id, 0 when none was chosen.
    std::function<qint64(QWidget *parent, const QString &label, const QList<DataSourceItem> &items)>
        chooseDevice;
    // The print preview of the messages; returns when it is closed.
    std::function<void(QWidget *parent, const MsgMessageList &messages)> print;
    std::function<void(QWidget *parent)> about;
    // Shows a context menu at the mouse and runs the chosen entry.
    std::function<void(QMenu &menu)> execMenu;
    // False when nothing on this system opens the page or shows the folder.
    std::function<bool(const QString &url)> openUrl;
    std::function<bool(const QString &folder)> openFolder;
    // Local time, for the names of export files and extraction folders.
    std::function<QDateTime()> now;

    static WindowServices defaults();
};
