// The program's main window: the navigation tree of devices and local databases, the message
// list, the conversation view, the news link and the once-a-day update check.
#pragma once

#include "shell/abstreeitemmodel.h"
#include "messages/msgrecords.h"
#include "view/bubbleviewmgr.h"

#include <QItemSelection>
#include <QMainWindow>
#include <QNetworkAccessManager>

#include <functional>

class DeviceArrival;
class ItemModelMain;
class ItemModelSms;
class MyTreeView;
class QLabel;
class QNetworkReply;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
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
    void selectNode(AbsTreeItemModel::_ItemNode *node);

    _MsgChat *currentChat() const { return m_currentChat; }
    AbsTreeItemModel::_ItemNode *currentNode() const;

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

protected:
    // Opens the download page of a newer version in the browser.
    virtual void openDownloadPage(const QString &url);

private:
    void loadLocalDatabases();
    void checkForUpdate();
    void loadVirtualDevices();
    void showNewsFile();
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
};
