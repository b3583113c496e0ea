// What the window tests share: a private data folder, local databases and phones built from
// message records, finding and choosing tree nodes and list rows, and reading menus.
#pragma once

#include "app/itemmodelmain.h"
#include "app/itemmodelsms.h"
#include "app/mainwindow.h"
#include "backup/backupmanifest.h"
#include "platform/samplephones/ios6smsdbfixture.h"
#include "shell/appconfig.h"
#include "shell/datafolder.h"
#include "shell/mytreeview.h"
#include "support/devicebackupfixture.h"
#include "support/ios5smsdbfixture.h"
#include "support/localdbfixture.h"
#include "support/workercontrol.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QItemSelectionModel>
#include <QMenu>
#include <QTemporaryDir>

namespace windowtest {

// Below the home folder: the one drive the window sees ("mounts/volume"), so that no test
// looks at, or writes a device backup on, this machine's own drives.
const char mountsFolder[] = "mounts";

inline bool useMounts(const QTemporaryDir &home)
{
    const QDir mounts(home.filePath(QLatin1String(mountsFolder)));
    QFile table(mounts.filePath(QStringLiteral("mountinfo")));
    if (!mounts.mkpath(QStringLiteral("volume")) || !table.open(QIODevice::WriteOnly))
        return false;
    table.write("1 0 8:1 / / ro - ext4 /dev/sda1 ro\n2 1 8:17 / "
        + QFile::encodeName(mounts.filePath(QStringLiteral("volume")))
        + " rw - ext4 /dev/sdb1 rw\n");
    qputenv("QUILLMARROW_MOUNTINFO", QFile::encodeName(table.fileName()));
    qputenv("QUILLMARROW_SYS_BLOCK", QFile::encodeName(mounts.filePath(QStringLiteral("no-sys"))));
    return true;
}

// Points the data folder into `home` for the whole test program; no network.
inline bool useHome(const QTemporaryDir &home)
{
    qputenv("HOME", home.path().toUtf8());
    AppConfig::setWebHost(QString());
    return useMounts(home) && installEnglishTexts()
        && dataFolder().absolutePath().startsWith(home.path());
}

// Removes everything a test left in the home folder, and what it left on the one drive.
inline void clearHome(const QTemporaryDir &home)
{
    QDir dir(home.path());
    const QFileInfoList entries
        = dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.fileName() == QLatin1String(mountsFolder)) {
            QDir volume(entry.absoluteFilePath() + QStringLiteral("/volume"));
            volume.removeRecursively();
            volume.mkpath(QStringLiteral("."));
        } else if (entry.isDir() && !entry.isSymLink())
            QDir(entry.absoluteFilePath()).removeRecursively();
        else
            QFile::remove(entry.absoluteFilePath());
    }
}

// A local database of the data folder holding the messages and their attachment files.
inline QString writeLocalDb(const QString &name, const MsgMessageList &messages)
{
    LocalDbFixture db(localDbFolder().filePath(name));
    db.write(messages);
    db.writeAttachmentFiles(messages);
    return db.folder();
}

// A phone the window lists at start ("virtual_ios"), holding the messages.
inline QString writeVirtualPhone(const QString &name, const MsgMessageList &messages)
{
    LocalDbFixture db(dataFolder().filePath(QStringLiteral("virtual_ios/") + name));
    db.write(messages);
    db.writeAttachmentFiles(messages);
    return db.folder();
}

// A backup of "Anna's iPhone" named `name` in the default backup folder, made from a phone
// database built in `cache`: the iOS 6+ layout with one chat of two messages ("on the phone
// 1" and "2"), or the iOS 5 layout with one ("old layout").
inline QString writePhoneBackup(const QString &name, const QString &cache, bool ios5 = false,
    const QByteArray &password = QByteArray())
{
    if (ios5) {
        IOS5SmsDbFixture db(cache);
        IOS5SmsDbFixture::Sms sms;
        sms.group = db.addGroup(1);
        db.addMember(sms.group, QStringLiteral("+15550009999"));
        sms.address = QStringLiteral("+15550009999");
        sms.text = QStringLiteral("old layout");
        sms.date = 1300000000;
        db.addSms(sms);
    } else {
        IOS6SmsDbFixture db(cache);
        const qint64 handle = db.addHandle(QStringLiteral("+15550001111"));
        const qint64 chat
            = db.addChat(QStringLiteral("SMS;-;+15550001111"), QStringLiteral("+15550001111"));
        db.joinChatHandle(chat, handle);
        for (int i = 1; i <= 2; ++i) {
            IOS6SmsDbFixture::Message m;
            m.guid = QStringLiteral("PHONE-%1").arg(i);
            m.text = QStringLiteral("on the phone %1").arg(i);
            m.handle = handle;
            m.date = 390000000 + i;
            db.joinChatMessage(chat, db.addMessage(m));
        }
    }
    const QString folder = BackupManifest::defaultBackupDir().filePath(name);
    DeviceBackupFixture backup(cache, folder);
    backup.setDevice(QStringLiteral("udid-") + name, QStringLiteral("Anna's iPhone"));
    backup.setPassword(password);
    backup.writeBackup();
    return folder;
}

inline MyTreeView *tree(MainWindow &w)
{
    return w.findChild<MyTreeView *>(QStringLiteral("treeViewDS"));
}

inline MyTreeView *list(MainWindow &w)
{
    return w.findChild<MyTreeView *>(QStringLiteral("treeViewSMS"));
}

inline ItemModelSms *listModel(MainWindow &w)
{
    return qobject_cast<ItemModelSms *>(list(w)->model());
}

// The node at a path of names from a root, e.g. {"Local Databases", "Base"}.
inline QModelIndex nodeIndex(MainWindow &w, const QStringList &path)
{
    ItemModelMain *model = w.treeModel();
    QModelIndex parent;
    for (const QString &name : path) {
        QModelIndex found;
        for (int row = 0; row < model->rowCount(parent) && !found.isValid(); ++row) {
            const QModelIndex index = model->index(row, 0, parent);
            if (index.data().toString() == name)
                found = index;
        }
        if (!found.isValid())
            return QModelIndex();
        parent = found;
    }
    return parent;
}

inline void settle()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

// Makes the node current as a click would; false when there is no such node.
inline bool choose(MainWindow &w, const QStringList &path)
{
    const QModelIndex index = nodeIndex(w, path);
    if (!index.isValid())
        return false;
    tree(w)->setCurrentIndex(index);
    settle();
    return true;
}

inline void selectRows(MainWindow &w, const QList<int> &rows)
{
    QItemSelectionModel *selection = list(w)->selectionModel();
    selection->clearSelection();
    for (int row : rows)
        selection->select(
            listModel(w)->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

inline QStringList shownTexts(MainWindow &w)
{
    QStringList texts;
    for (const _MsgMessage *m : listModel(w)->messages())
        texts << m->text;
    return texts;
}

inline QStringList childNames(MainWindow &w, const QStringList &path)
{
    ItemModelMain *model = w.treeModel();
    const QModelIndex parent = nodeIndex(w, path);
    QStringList names;
    if (!parent.isValid())
        return names;
    for (int row = 0; row < model->rowCount(parent); ++row)
        names << model->index(row, 0, parent).data().toString();
    return names;
}

// The file name under ":res/" of an action's icon, "" for none, "?" for another picture.
inline QString iconName(const QAction *action)
{
    if (action->icon().isNull())
        return QString();
    static const char *const names[] = { "backup", "i2i", "db2i", "extract_media", "export",
        "print", "delete", "import_itunes", "open_db_folder", "exit", "help", "unmount" };
    const QImage shown
        = action->icon().pixmap(48).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (const char *name : names) {
        const QImage file = QImage(QStringLiteral(":res/%1.png").arg(QLatin1String(name)))
                                .convertToFormat(QImage::Format_ARGB32_Premultiplied);
        if (!file.isNull() && file == shown)
            return QLatin1String(name);
    }
    return QStringLiteral("?");
}

// "text;icon;slot" with " (off)" for a disabled entry; "-" for a separator.
inline QStringList describe(const QList<QAction *> &actions)
{
    QStringList entries;
    for (const QAction *action : actions) {
        if (action->isSeparator()) {
            entries << QStringLiteral("-");
            continue;
        }
        QString entry = QStringLiteral("%1;%2;%3")
                            .arg(action->text(), iconName(action), action->objectName());
        if (!action->isEnabled())
            entry += QLatin1String(" (off)");
        entries << entry;
    }
    return entries;
}

// Raises the tree's or the list's context menu; the entries shown, empty when none.
inline QStringList contextMenu(MainWindow &w, MyTreeView *view)
{
    QStringList entries;
    w.services().execMenu = [&entries](QMenu &menu) { entries = describe(menu.actions()); };
    emit view->createContextMenu();
    return entries;
}

// Raises the context menu and runs its entry for the slot; false when it is not offered.
inline bool runContextEntry(MainWindow &w, MyTreeView *view, const QString &slot)
{
    bool found = false;
    w.services().execMenu = [&](QMenu &menu) {
        for (QAction *action : menu.actions()) {
            if (action->objectName() == slot && action->isEnabled()) {
                found = true;
                action->trigger();
                return;
            }
        }
    };
    emit view->createContextMenu();
    settle();
    return found;
}

} // namespace windowtest
