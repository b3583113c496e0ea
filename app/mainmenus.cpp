#include "app/mainmenus.h"

#include "app/itemmodelmain.h"

#include <QAction>
#include <QCoreApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QToolBar>

namespace {

// When an entry is enabled, besides its node kind.
enum Need { Always, OneDevice, TwoDevices };

struct Entry
{
    const char *text; // null: a separator
    const char *icon; // file name under ":res/", without ".png"; null for none
    const char *slot;
    Need need;
};

using Table = std::initializer_list<Entry>;

const Table fileMenu = {
    { "Backup Messages to Local Database", "backup", "miBackup", Always },
    { "Transfer iPhone Messages to other iPhone", "i2i", "miI2I", Always },
    { "Transfer Messages from Database to iPhone", "db2i", "miDb2I", Always },
    { nullptr, nullptr, nullptr, Always },
    { "Extract MMS attachment", "extract_media", "miExtractMedia", Always },
    { "Export Messages to File", "export", "miExport", Always },
    { "Print Messages", "print", "miPrint", Always },
    { "Delete Messages", "delete", "miDel", Always },
    { nullptr, nullptr, nullptr, Always },
    { "Import Messages from iTunes Backup to Local Database", "import_itunes", "miImportItunes",
        Always },
    { "Open Database Folder", "open_db_folder", "miOpenDbFolder", Always },
    { "Exit", "exit", "close", Always },
};

const Table toolsMenu = {
    { "Check for Update", nullptr, "miCheckUpdate", Always },
    { "Clear Cache files", nullptr, "miClearCache", Always },
};

const Table helpMenu = {
    { "Help", "help", "miHelp", Always },
    { "Feedback and Support", nullptr, "miFeedback", Always },
    { "About", nullptr, "miAbout", Always },
};

const Table localDbRootTree = {
    { "Open Database Folder", "open_db_folder", "miOpenDbFolder", Always },
    { "Import Messages from iTunes Backup to Local Database", "import_itunes", "miImportItunes",
        Always },
};

const Table deviceTree = {
    { "Backup Messages to Local Database", "backup", "miBackupAll", Always },
    { "Transfer iPhone Messages to other iPhone", "i2i", "miI2IAll", TwoDevices },
    { "Extract MMS attachment", "extract_media", "miExtractMediaAll", Always },
    { "Export Messages to File", "export", "miExportAll", Always },
    { "Print Messages", "print", "miPrintAll", Always },
    { "View Cache Files", nullptr, "miViewCache", Always },
    { "Disconnect Device", "unmount", "miUnmoutDevice", Always },
};

const Table localDbTree = {
    { "Import Messages from iTunes Backup to this Local Database", "import_itunes",
        "miImportToLocalDb", Always },
    { "Export Messages to iTunes Backup", nullptr, "miExport2ITunesBKAll", Always },
    { "Transfer Messages from Database to iPhone", "db2i", "miDb2IAll", OneDevice },
    { "Extract MMS attachment", "extract_media", "miExtractMediaAll", Always },
    { "Export Messages to File", "export", "miExportAll", Always },
    { "Print Messages", "print", "miPrintAll", Always },
    { "Delete this Database", "delete", "miDelAll", Always },
};

const Table deviceChatTree = {
    { "Backup Messages with this contact to Local Database", "backup", "miBackupChat", Always },
    { "Transfer Messages with this contact to other iPhone", "i2i", "miI2IChat", TwoDevices },
    { "Extract attachment from MMS with this contact", "extract_media", "miExtractMediaChat",
        Always },
    { "Export Messages with this contact to File", "export", "miExportChat", Always },
    { "Print Messages with this contact", "print", "miPrintChat", Always },
};

const Table localDbChatTree = {
    { "Export Messages with this contact to iTunes Backup", nullptr, "miExport2ITunesBKChat",
        Always },
    { "Transfer Messages with this contact to iPhone", "db2i", "miDb2IChat", OneDevice },
    { "Extract attachment from MMS with this contact", "extract_media", "miExtractMediaChat",
        Always },
    { "Export Messages with this contact to File", "export", "miExportChat", Always },
    { "Print Messages with this contact", "print", "miPrintChat", Always },
    { "Delete Messages with this contact", "delete", "miDelChat", Always },
};

const Table deviceList = {
    { "Backup selected Messages to Local Database", "backup", "miBackupSel", Always },
    { "Transfer selected Messages to other iPhone", "i2i", "miI2ISel", TwoDevices },
    { "Extract attachment from selected Messages", "extract_media", "miExtractMediaSel", Always },
    { "Export selected Messages to File", "export", "miExportSel", Always },
    { "Print selected Messages", "print", "miPrintSel", Always },
};

const Table localDbList = {
    { "Export selected Messages to iTunes Backup", nullptr, "miExport2ITunesBKSel", Always },
    { "Transfer selected Messages to iPhone", "db2i", "miDb2ISel", OneDevice },
    { "Extract attachment from selected Messages", "extract_media", "miExtractMediaSel", Always },
    { "Export selected Messages to File", "export", "miExportSel", Always },
    { "Print selected Messages", "print", "miPrintSel", Always },
    { "Delete selected Messages", "delete", "miDelSel", Always },
};

QString menuText(const char *text)
{
    return QCoreApplication::translate("QObject", text);
}

// Adds the entries to the menu; each action is named after its slot.
QList<QAction *> addEntries(QMenu &menu, const Table &table, QObject *window, int devices)
{
    QList<QAction *> actions;
    for (const Entry &entry : table) {
        if (!entry.text) {
            actions << menu.addSeparator();
            continue;
        }
        QAction *action = menu.addAction(menuText(entry.text));
        action->setObjectName(QLatin1String(entry.slot));
        if (entry.icon)
            action->setIcon(QIcon(QStringLiteral(":res/%1.png").arg(QLatin1String(entry.icon))));
        action->setEnabled(entry.need == Always || (entry.need == OneDevice && devices >= 1)
            || (entry.need == TwoDevices && devices >= 2));
        // Old-style connection: the slot is known by name only.
        QObject::connect(
            action, SIGNAL(triggered()), window, (QByteArray("1") + entry.slot + "()").constData());
        actions << action;
    }
    return actions;
}

const AbsTreeItemModel::_ItemNode *sessionParent(const AbsTreeItemModel::_ItemNode *node)
{
    return node && node->kind == ChatSessionNode ? node->parent : node;
}

} // namespace

MenuActions MainMenus::createMenus(QMainWindow &window, QToolBar &toolBar)
{
    QMenuBar *bar = window.menuBar();
    const QList<QAction *> file = addEntries(*bar->addMenu(menuText("File")), fileMenu, &window, 0);
    addEntries(*bar->addMenu(menuText("Tools")), toolsMenu, &window, 0);
    addEntries(*bar->addMenu(menuText("Help")), helpMenu, &window, 0);

    MenuActions kept;
    kept.actBackup = file.at(0);
    kept.actI2I = file.at(1);
    kept.actDb2I = file.at(2);
    kept.actExtractMedia = file.at(4);
    kept.actExport = file.at(5);
    kept.actPrint = file.at(6);
    kept.actDel = file.at(7);
    toolBar.addActions({ kept.actBackup, kept.actI2I, kept.actDb2I });
    toolBar.addSeparator();
    toolBar.addActions({ kept.actExtractMedia, kept.actExport, kept.actPrint, kept.actDel });
    toolBar.addSeparator();
    updateActions(kept, nullptr, 0);
    return kept;
}

void MainMenus::updateActions(
    const MenuActions &actions, const AbsTreeItemModel::_ItemNode *current, int devices)
{
    const AbsTreeItemModel::_ItemNode *node = sessionParent(current);
    const bool device = node && node->kind == IOSDeviceNode;
    const bool localDb = node && node->kind == LocalDBNode;
    actions.actI2I->setEnabled(device && devices >= 2);
    actions.actDb2I->setEnabled(localDb && devices >= 1);
    actions.actBackup->setEnabled(device);
    actions.actExtractMedia->setEnabled(device || localDb);
    actions.actExport->setEnabled(device || localDb);
    actions.actPrint->setEnabled(device || localDb);
    actions.actDel->setEnabled(localDb);
}

bool MainMenus::fillTreeMenu(
    QMenu &menu, QObject *window, const AbsTreeItemModel::_ItemNode *current, int devices)
{
    if (!current)
        return false;
    const AbsTreeItemModel::_ItemNode *parent = sessionParent(current);
    const Table *table = nullptr;
    if (current->kind == RootLocalDBNode)
        table = &localDbRootTree;
    else if (current->kind == IOSDeviceNode)
        table = &deviceTree;
    else if (current->kind == LocalDBNode)
        table = &localDbTree;
    else if (current->kind == ChatSessionNode && parent && parent->kind == IOSDeviceNode)
        table = &deviceChatTree;
    else if (current->kind == ChatSessionNode && parent && parent->kind == LocalDBNode)
        table = &localDbChatTree;
    if (!table)
        return false;
    addEntries(menu, *table, window, devices);
    return true;
}

bool MainMenus::fillListMenu(
    QMenu &menu, QObject *window, const AbsTreeItemModel::_ItemNode *current, int devices)
{
    const AbsTreeItemModel::_ItemNode *node = sessionParent(current);
    if (!node || (node->kind != IOSDeviceNode && node->kind != LocalDBNode))
        return false;
    addEntries(menu, node->kind == IOSDeviceNode ? deviceList : localDbList, window, devices);
    return true;
}
