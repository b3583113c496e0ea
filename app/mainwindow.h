// The program's main window: the navigation tree of devices and local databases, the message
// list, the conversation view, the news link and the once-a-day update check, the menus and
// the dispatch of every message action to its flow.
#pragma once

#include "app/devicearrival.h"
#include "app/flowhost.h"
#include "app/mainmenus.h"
#include "app/nodeloader.h"
#include "app/windowservices.h"
#include "records/absdb.h"
#include "records/msgrecords.h"
#include "shell/abstreeitemmodel.h"
#include "view/bubbleviewmgr.h"

#include <QItemSelection>
#include <QMainWindow>
#include <QNetworkAccessManager>

#include <functional>
#include <memory>

class ItemModelMain;
class ItemModelSms;
class _AbsDBItemNode;
class MyTreeView;
class QLabel;
class QNetworkReply;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow, public FlowHost, public DeviceArrivalHost
{
    Q_OBJECT
public:
    // Seconds since 1970 (UTC); the update check asks it for "now".
    using Clock = std::function<qint64()>;

    explicit MainWindow(QWidget *parent = nullptr, Clock clock = Clock());
    ~MainWindow() override;

    // Sorts the list by the list header's order and shows it; chat null means "All".
    void showMessages(MsgMessageList list, _MsgChat *chat);
    void clearMessageView();
    // Every message of the current device or local database node, loaded first.
    MsgMessageList currentNodeMessages();
    // The records of the selected list rows, in the selection model's order.
    MsgMessageList selectedMessages() const;
    // Expands the node now and makes it current once the event loop runs again.
    void selectNode(AbsTreeItemModel::_ItemNode *node) override;

    _MsgChat *currentChat() const { return m_currentChat; }
    AbsTreeItemModel::_ItemNode *currentNode() const;

    QWidget *flowParent() override { return this; }
    ItemModelMain *treeModel() const override { return m_treeModel; }
    WindowServices &services() override { return m_services; }
    void clearCurrentNode() override;
    QWidget *dialogParent() override { return this; }
    void releaseViewOf(AbsTreeItemModel::_ItemNode *node) override;
    NodeLoader &nodeLoader() override { return *m_loader; }
    void reopenDevice(void *handle) override;

    // The flows of the message actions; each takes the list its slot chose.
    void printMessages(const MsgMessageList &messages);
    void extractMedia(const MsgMessageList &messages);
    void exportMessages(const MsgMessageList &messages);
    void backupMessages(const MsgMessageList &messages);
    void backupToLocalDb(const QString &proposedName, const MsgMessageList &messages);
    void importITunesBackup(const QString &proposedName);
    void exportToITunesBackup(const MsgMessageList &messages);
    void transferToIPhone(const MsgMessageList &messages);

public slots:
    void onCheckVersionReadyRead(QNetworkReply *reply);
    void onGetAdvLinkRead(QNetworkReply *reply);
    // Invoked by name from the device library's notification thread.
    void iosDeviceConnected(void *device);
    void iosDeviceDisconnected(void *device);
    void onMainTreeSelected(const QItemSelection &selected, const QItemSelection &deselected);
    void onSMSItemSelected(const QItemSelection &selected, const QItemSelection &deselected);
    void onSMSSortIndicatorChanged(int logicalIndex, Qt::SortOrder order);
    void searchMessages();
    void searchCotnact();

    void onMainTreeContextMenu();
    void onSMSContextMenu();

    // Message actions: the plain slot acts on the selected messages, else on the chat shown,
    // else on everything under the current node; Sel, Chat and All choose one of those.
    void miBackup();
    void miBackupSel();
    void miBackupChat();
    void miBackupAll();
    void miI2I();
    void miI2ISel();
    void miI2IChat();
    void miI2IAll();
    void miDb2I();
    void miDb2ISel();
    void miDb2IChat();
    void miDb2IAll();
    void miExtractMedia();
    void miExtractMediaSel();
    void miExtractMediaChat();
    void miExtractMediaAll();
    void miExport();
    void miExportSel();
    void miExportChat();
    void miExportAll();
    void miPrint();
    void miPrintSel();
    void miPrintChat();
    void miPrintAll();
    void miExport2ITunesBK();
    void miExport2ITunesBKSel();
    void miExport2ITunesBKChat();
    void miExport2ITunesBKAll();
    void miDel();
    void miDelSel();
    void miDelChat();
    // Deletes the current local database with its folder.
    void miDelAll();

    void miImportItunes();
    void miImportToLocalDb();
    void miOpenDbFolder();
    void miViewCache();
    void miClearCache();
    void miUnmoutDevice();
    void miCheckUpdate();
    void miHelp();
    void miFeedback();
    void miHome();
    void miAbout();

protected:
    // Opens the download page of a newer version in the browser.
    virtual void openDownloadPage(const QString &url);

private:
    void loadLocalDatabases();
    void checkForUpdate();
    void loadVirtualDevices();
    void showNewsFile();
    void updateMenuActions();
    int deviceCount() const;
    // Shows a list already in the list header's order.
    void showSorted(const MsgMessageList &sorted, _MsgChat *chat);
    // Reads the node's chats and, when it has any, all their messages (off this thread when
    // the node has an opener); false when the read was cancelled or the node is no longer
    // current. Throws the reader's errors.
    bool readNode(_AbsDBItemNode *node, NodeLoader::Content *content);
    // Gives the node the content's set, with sessions rebuilt from it, and shows all of it.
    void showContent(_AbsDBItemNode *node, NodeLoader::Content &content);
    // Opens a page of the maker's web service; without a configured host, or without a
    // program that opens it, says why nothing opened.
    void openWebPage(const QString &pathAndQuery);
    void openFolder(const QString &folder);

    enum class Scope { Selection, Chat, Everything, Plain };
    using Flow = void (MainWindow::*)(const MsgMessageList &);
    // Chooses the list for the scope and runs the flow on it.
    void dispatch(Scope scope, Flow flow);
    // Keeps the database and records of the current node's device or database alive while a
    // flow runs, whatever happens to the node meanwhile.
    struct SourceRefs
    {
        QSharedPointer<AbsMessageDb> db;
        QSharedPointer<MsgMessageSet> set;
    };
    SourceRefs sourceRefs() const;
    // Queued so that tree changes made inside a selection handler run after it; the index
    // is persistent, so a node removed meanwhile is never touched.
    using TreeAction = void (*)(MyTreeView *, const QModelIndex &);
    void queueOnTree(const QModelIndex &index, TreeAction action);

    Ui::MainWindow *ui;
    ItemModelMain *m_treeModel = nullptr;
    ItemModelSms *m_listModel = nullptr;
    DeviceArrival *m_deviceArrival = nullptr;
    BubbleViewMgr m_bubbleView;
    QNetworkAccessManager m_network;
    QLabel *lbNews = nullptr;
    _MsgChat *m_currentChat = nullptr;
    Clock m_clock;
    WindowServices m_services = WindowServices::defaults();
    MenuActions m_actions;
    std::unique_ptr<NodeLoader> m_loader;
};
