#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/deleteflow.h"
#include "app/devicearrival.h"
#include "app/itemmodelmain.h"
#include "app/itemmodelsms.h"
#include "app/localdbflow.h"
#include "app/outputflow.h"
#include "app/restoreflow.h"
#include "app/workerstep.h"
#include "device/backupdrives.h"
#include "device/mobiledevice.h"
#include "messages/ios5messagedb.h"
#include "messages/ios6messagedb.h"
#include "platform/durablefile/durablefile.h"
#include "records/msgidentity.h"
#include "shell/appconfig.h"
#include "shell/datafolder.h"
#include "shell/messagebox.h"
#include "shell/progressform.h"

#include <QDateTime>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTextDocumentFragment>
#include <QThread>
#include <QUrl>

#include <exception>

namespace {

const char checkTimeFile[] = "last-check-version-time";
const char newsFile[] = "last-adv";
const qint64 checkInterval = 86400;
const int chatNameMaxLength = 25;

// The address when it is a well-formed absolute http or https URL with a host.
QString webAddress(const QString &text)
{
    if (!text.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)
        && !text.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
        return QString();
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return QString();
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return QString();
    return url.toString(QUrl::FullyEncoded);
}

// Markup fragment to plain text: tags dropped, entities decoded, blanks collapsed.
QString plainTextOf(const QString &markup)
{
    static const QRegularExpression tag(QStringLiteral("<[^>]*>"));
    QString text = markup;
    text.replace(tag, QString());
    return QTextDocumentFragment::fromHtml(text).toPlainText().simplified();
}

QByteArray upToZero(QByteArray bytes)
{
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    return bytes;
}

void writeStateFile(const QString &name, const QByteArray &content)
{
    QString error;
    if (!durable::writeFile(dataFolder().filePath(name), content, &error))
        qWarning("Cannot write %s", qPrintable(error));
}

// The trimmed http(s) download address of an update answer; empty when there is none.
QString updateAddress(const QByteArray &answer)
{
    return webAddress(QString::fromLatin1(upToZero(answer)).trimmed());
}

// The news label's markup for a news answer: a restyled link rebuilt from the answer's
// http(s) address and its text, escaped; empty when the answer is no such link.
QString newsLinkMarkup(const QString &answer)
{
    if (!answer.startsWith(QLatin1String("<a"), Qt::CaseInsensitive))
        return QString();
    static const QRegularExpression anchor(QStringLiteral("^<a(\\s[^>]*)>(.*?)</a\\s*>\\s*$"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression href(
        QStringLiteral("\\shref\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)'|([^\\s\"'>]+))"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression nestedAnchor(
        QStringLiteral("</?a[\\s>]"), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch link = anchor.match(answer);
    if (!link.hasMatch() || link.captured(2).contains(nestedAnchor))
        return QString();
    const QRegularExpressionMatch target = href.match(link.captured(1));
    if (!target.hasMatch())
        return QString();
    QString address = target.captured(1);
    if (address.isNull())
        address = target.captured(2);
    if (address.isNull())
        address = target.captured(3);
    address = webAddress(plainTextOf(address));
    const QString text = plainTextOf(link.captured(2));
    if (address.isEmpty() || text.isEmpty())
        return QString();
    return QStringLiteral("<a style=\"color:%1;text-decoration:none;\" href=\"%2\">%3</a>")
        .arg(QStringLiteral("#FF6016"), address.toHtmlEscaped(), text.toHtmlEscaped());
}

// The file of a device's or local database's message database; empty for other classes.
QString databaseFilePath(AbsMessageDb &db)
{
    if (auto *ios6 = dynamic_cast<IOS6MessageDb *>(&db))
        return QDir::cleanPath(QFileInfo(ios6->smsDbPath()).absoluteFilePath());
    if (auto *ios5 = dynamic_cast<IOS5MessageDb *>(&db))
        return QDir::cleanPath(QFileInfo(ios5->smsDbPath()).absoluteFilePath());
    return QString();
}

bool holdsAny(const QString &path, const QStringList &files)
{
    const QString prefix = QDir::cleanPath(path) + QLatin1Char('/');
    for (const QString &file : files) {
        if (file.startsWith(prefix))
            return true;
    }
    return false;
}

// Removes a cache folder but for the entries that hold a database still in use; the paths
// that could not be removed.
QStringList clearCacheFolder(const QString &root, const QStringList &inUse)
{
    if (!QFileInfo::exists(root))
        return {};
    QStringList targets;
    if (!holdsAny(root, inUse)) {
        targets << root;
    } else {
        const QFileInfoList entries = QDir(root).entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo &entry : entries) {
            if (!holdsAny(entry.absoluteFilePath(), inUse))
                targets << entry.absoluteFilePath();
        }
    }
    QStringList failed;
    for (const QString &target : qAsConst(targets)) {
        const QFileInfo info(target);
        if (info.isDir() && !info.isSymLink())
            removeFolderRecursively(target);
        else
            QFile::remove(target);
        if (QFileInfo(target).exists() || QFileInfo(target).isSymLink())
            failed << target;
    }
    return failed;
}

} // namespace

MainWindow::MainWindow(QWidget *parent, Clock clock)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , m_bubbleView(this)
    , m_network(this)
    , m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentSecsSinceEpoch(); }))
{
    ui->setupUi(this);
    setStyleSheet(appStyleSheet());
    // Setting a model on a view reports a selection change, which the handlers below
    // answer with both models.
    m_treeModel = new ItemModelMain(this);
    m_listModel = new ItemModelSms(this);
    m_deviceArrival = new DeviceArrival(*this, this);
    m_loader = std::make_unique<NodeLoader>(this);

    connect(ui->treeViewDS, &MyTreeView::onSelectionChanged, this, &MainWindow::onMainTreeSelected);
    connect(ui->treeViewSMS, &MyTreeView::onSelectionChanged, this, &MainWindow::onSMSItemSelected);
    connect(ui->btnSearchHandle, &QToolButton::pressed, this, &MainWindow::searchCotnact);
    connect(ui->txtHandleKeyword, &QLineEdit::returnPressed, this, &MainWindow::searchCotnact);
    connect(ui->btnSearchSMS, &QToolButton::pressed, this, &MainWindow::searchMessages);
    connect(ui->txtSMSKeyword, &QLineEdit::returnPressed, this, &MainWindow::searchMessages);
    connect(
        ui->treeViewDS, &MyTreeView::createContextMenu, this, &MainWindow::onMainTreeContextMenu);
    connect(ui->treeViewSMS, &MyTreeView::createContextMenu, this, &MainWindow::onSMSContextMenu);

    m_actions = MainMenus::createMenus(*this, *ui->mainToolBar);
    // Devices come and go without a selection change; the transfer entries count them.
    connect(m_treeModel, &QAbstractItemModel::rowsInserted, this, &MainWindow::updateMenuActions);
    connect(m_treeModel, &QAbstractItemModel::rowsRemoved, this, &MainWindow::updateMenuActions);

    ui->splitter->setSizes({ 200, 450, 350 });

    ui->treeViewDS->setModel(m_treeModel);
    ui->treeViewDS->expandAll();

    ui->treeViewSMS->setModel(m_listModel);
    ui->treeViewSMS->setSortingEnabled(true);
    QHeaderView *header = ui->treeViewSMS->header();
    header->setSectionsMovable(false);
    header->setSortIndicator(0, Qt::AscendingOrder);
    connect(
        header, &QHeaderView::sortIndicatorChanged, this, &MainWindow::onSMSSortIndicatorChanged);
    ui->treeViewSMS->setColumnWidth(0, 160);
    ui->treeViewSMS->setColumnWidth(1, 50);
    ui->treeViewSMS->setColumnWidth(2, 120);
    // A new list starts at its top, as the bubbles do; a reset keeps the old offset.
    connect(m_listModel, &QAbstractItemModel::modelReset, ui->treeViewSMS, &QTreeView::scrollToTop);

    m_bubbleView.attachView(ui->webViewSMS);

    setWindowTitle(productTitle());

    lbNews = new QLabel(ui->statusBar);
    lbNews->setObjectName(QStringLiteral("lbNews"));
    lbNews->setTextFormat(Qt::RichText);
    lbNews->setOpenExternalLinks(true);
    ui->statusBar->setStyleSheet(QStringLiteral("QStatusBar::item{border: 0px}"));
    ui->statusBar->addWidget(lbNews, 0);
    showNewsFile();

    if (mobiledevice_frameworks_loaded()) {
        g_deviceNotifyTarget
            = DeviceNotifyTarget(this, "iosDeviceConnected", "iosDeviceDisconnected");
        try {
            mobiledevice_subscribe(&g_deviceNotifyTarget);
        } catch (const std::exception &e) {
            qWarning("%s", e.what());
            showError(QString::fromUtf8(e.what()));
        }
    }

    loadLocalDatabases();
    checkForUpdate();
    loadVirtualDevices();
}

MainWindow::~MainWindow()
{
    // The device library's thread must not post to a window that is gone.
    if (g_deviceNotifyTarget.receiver == this)
        g_deviceNotifyTarget.receiver = nullptr;
    // Replies still running are aborted with the client; their answers are not wanted.
    const QList<QNetworkReply *> replies = m_network.findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : replies)
        reply->disconnect(this);
    delete ui;
}

void MainWindow::showNewsFile()
{
    QFile file(dataFolder().filePath(QLatin1String(newsFile)));
    if (!file.open(QIODevice::ReadOnly))
        return;
    // The file may come from an older version that stored the answer as it came.
    lbNews->setText(newsLinkMarkup(QString::fromUtf8(file.readAll())));
}

void MainWindow::loadLocalDatabases()
{
    const QDir folder = localDbFolder();
    const QStringList names = folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        QSharedPointer<AbsMessageDb> db(
            new IOS6MessageDb(QDir(folder.filePath(name)), QString(), true));
        m_treeModel->addLocalDb(db, name);
    }
    ui->treeViewDS->expand(m_treeModel->indexOfNode(m_treeModel->rootLocalDb()));
}

void MainWindow::checkForUpdate()
{
    if (AppConfig::webHost().isEmpty())
        return;

    qint64 last = 0;
    QFile file(dataFolder().filePath(QLatin1String(checkTimeFile)));
    if (file.open(QIODevice::ReadOnly)) {
        bool ok = false;
        last = upToZero(file.readAll()).trimmed().toLongLong(&ok);
        if (!ok)
            last = 0;
    }
    // Unsigned, so that a time stamp in the future does not hold the check back.
    const quint32 elapsed = quint32(quint64(m_clock()) - quint64(last));
    if (last != 0 && elapsed <= checkInterval)
        return;

    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(AppConfig::webHostName());
    url.setPort(AppConfig::webHostPort());

    url.setPath(QStringLiteral("/sms_check_update.php"));
    url.setQuery(QStringLiteral("pid=%1&ver=%2&q=1")
                     .arg(AppConfig::productId())
                     .arg(AppConfig::buildNumber()));
    QNetworkReply *update = m_network.get(QNetworkRequest(url));
    connect(update, &QNetworkReply::finished, this,
        [this, update] { onCheckVersionReadyRead(update); });

    url.setPath(QStringLiteral("/adv.php"));
    url.setQuery(QStringLiteral("pid=%1").arg(AppConfig::productId()));
    QNetworkReply *news = m_network.get(QNetworkRequest(url));
    connect(news, &QNetworkReply::finished, this, [this, news] { onGetAdvLinkRead(news); });
}

void MainWindow::loadVirtualDevices()
{
    const QDir root(dataFolder().filePath(QStringLiteral("virtual_ios")));
    if (!root.exists())
        return;
    const QStringList names = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        IOSDevice device;
        device.name = name;
        device.udid = root.filePath(name);
        QSharedPointer<AbsMessageDb> db(new IOS6MessageDb(QDir(device.udid), QString(), true));
        _IOSDeviceItemNode *node
            = m_treeModel->addDevice(db, device, ios6Opener(QDir(device.udid), QString(), true));
        try {
            db->chats(node->messageSet);
            m_treeModel->refreshChatSessions(node);
        } catch (const std::exception &e) {
            showError(QString::fromUtf8(e.what()));
        }
    }
}

void MainWindow::onCheckVersionReadyRead(QNetworkReply *reply)
{
    reply->deleteLater();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return; // no answer from the server at all
    writeStateFile(QLatin1String(checkTimeFile), QByteArray::number(qMax<qint64>(0, m_clock())));
    if (status.toInt() != 200 || reply->error() != QNetworkReply::NoError)
        return;
    const QString address = updateAddress(reply->readAll());
    if (address.isEmpty())
        return;
    if (!askYesNo(tr("A new version of %1 is available. Would you like to download it now?")
                      .arg(productTitle())))
        return;
    openDownloadPage(address);
    close();
}

void MainWindow::onGetAdvLinkRead(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200
        || reply->error() != QNetworkReply::NoError)
        return;
    const QString markup = newsLinkMarkup(QString::fromUtf8(reply->readAll()));
    if (markup.isEmpty())
        return;
    lbNews->setText(markup);
    writeStateFile(QLatin1String(newsFile), markup.toUtf8());
}

void MainWindow::openDownloadPage(const QString &url)
{
    openUrl(url);
}

void MainWindow::iosDeviceConnected(void *device)
{
    m_deviceArrival->connected(device);
}

void MainWindow::iosDeviceDisconnected(void *device)
{
    m_deviceArrival->disconnected(device);
}

AbsTreeItemModel::_ItemNode *MainWindow::currentNode() const
{
    return AbsTreeItemModel::nodeOf(ui->treeViewDS->currentIndex());
}

void MainWindow::queueOnTree(const QModelIndex &index, TreeAction action)
{
    const QPersistentModelIndex target(index);
    MyTreeView *view = ui->treeViewDS;
    QMetaObject::invokeMethod(
        view,
        [view, target, action] {
            if (target.isValid())
                action(view, target);
        },
        Qt::QueuedConnection);
}

void MainWindow::clearMessageView()
{
    m_currentChat = nullptr;
    m_listModel->clear();
    m_bubbleView.showBubble(MsgMessageList());
    ui->lbSMSCount->setText(tr("Messages: %1").arg(0));
    ui->lbChatName->clear();
}

void MainWindow::showMessages(MsgMessageList list, _MsgChat *chat)
{
    sortMessages(list, ui->treeViewSMS->header()->sortIndicatorOrder() == Qt::DescendingOrder);
    showSorted(list, chat);
}

void MainWindow::showSorted(const MsgMessageList &list, _MsgChat *chat)
{
    m_currentChat = chat;
    const Qt::SortOrder order = ui->treeViewSMS->header()->sortIndicatorOrder();
    m_listModel->setMessages(list);
    m_bubbleView.showBubble(list, order);
    ui->lbSMSCount->setText(tr("Messages: %1").arg(list.size()));
    if (!chat) {
        ui->lbChatName->setText(tr("All"));
        return;
    }
    QString title = chat->title(false);
    if (title.size() > chatNameMaxLength)
        title = title.left(chatNameMaxLength) + QStringLiteral("...");
    ui->lbChatName->setText(title);
}

void MainWindow::onMainTreeSelected(const QItemSelection &selected, const QItemSelection &)
{
    updateMenuActions();
    AbsTreeItemModel::_ItemNode *node = nullptr;
    if (!selected.isEmpty())
        node = AbsTreeItemModel::nodeOf(selected.first().topLeft());
    if (!node) {
        clearMessageView();
        return;
    }
    try {
        switch (node->kind) {
        case LocalDBNode:
        case IOSDeviceNode: {
            auto *dbNode = static_cast<_AbsDBItemNode *>(node);
            // A local database is read once, when it first shows chats.
            if (node->kind == LocalDBNode && !dbNode->children.isEmpty()) {
                showMessages(dbNode->messageSet->messages(), nullptr);
                break;
            }
            NodeLoader::Content content;
            if (!readNode(dbNode, &content)) {
                // Another node's content shows by now.
                if (currentNode() != dbNode)
                    break;
                // Cancelled: nothing half read is shown, and choosing the node again reads
                // it again.
                clearMessageView();
                const QPersistentModelIndex index(m_treeModel->indexOfNode(dbNode));
                queueOnTree(index, [](MyTreeView *view, const QModelIndex &i) {
                    if (view->currentIndex() == i)
                        view->selectionModel()->clear();
                });
                break;
            }
            if (node->kind == LocalDBNode)
                queueOnTree(m_treeModel->indexOfNode(dbNode),
                    [](MyTreeView *view, const QModelIndex &i) { view->expand(i); });
            if (content.set->chatMap.isEmpty()) {
                clearMessageView();
                break;
            }
            showContent(dbNode, content);
            break;
        }
        case ChatSessionNode: {
            auto *session = static_cast<_ChatSessionItemNode *>(node);
            if (session->chats.isEmpty()) {
                clearMessageView();
                break;
            }
            // Sessions of a device read at start-up have their chats but not yet their
            // messages: read those of this session's chats, once, rather than the whole
            // database on every click.
            AbsTreeItemModel::_ItemNode *parent = session->parent;
            if (!session->messagesLoaded && parent
                && (parent->kind == IOSDeviceNode || parent->kind == LocalDBNode)) {
                auto *dbNode = static_cast<_AbsDBItemNode *>(parent);
                for (const _MsgChat *chat : qAsConst(session->chats)) {
                    // Row id 0 would read every chat.
                    if (chat->rowid != 0 && chat->rowid >= RecoveredChatRowidLimit)
                        dbNode->db->messages(dbNode->messageSet, chat->rowid);
                }
            }
            session->messagesLoaded = true;
            showMessages(messagesOfChats(session->chats), session->chats.first());
            break;
        }
        default:
            clearMessageView();
            break;
        }
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
    }
}

void MainWindow::onSMSItemSelected(const QItemSelection &selected, const QItemSelection &)
{
    const QModelIndexList indexes = selected.indexes();
    if (indexes.isEmpty() || !m_listModel->messageAt(indexes.first()))
        return;
    m_bubbleView.scrollToPos(indexes.first().row());
}

void MainWindow::onSMSSortIndicatorChanged(int logicalIndex, Qt::SortOrder)
{
    if (logicalIndex != 0) {
        // Only the date sorts; this comes back here with column 0.
        ui->treeViewSMS->header()->setSortIndicator(0, Qt::AscendingOrder);
        return;
    }
    showMessages(m_listModel->messages(), m_currentChat);
}

void MainWindow::searchMessages()
{
    const QString keyword = ui->txtSMSKeyword->text().trimmed();
    if (keyword.isEmpty())
        return;
    const MsgMessageList &list = m_listModel->messages();
    const int rows = list.size();
    if (rows == 0) {
        showInfo(tr("IDS_CAN_NOT_FOUND_AND_MESSAGES"));
        return;
    }
    const QModelIndex current = ui->treeViewSMS->currentIndex();
    const int start = current.isValid() ? current.row() + 1 : 0;
    // From the row after the current one, wrapping once: the current row comes last.
    for (int i = 0; i < rows; ++i) {
        const int row = (start + i) % rows;
        const _MsgMessage *message = list.at(row);
        if (message && message->displayText().contains(keyword, Qt::CaseInsensitive)) {
            ui->treeViewSMS->setCurrentIndex(m_listModel->indexOfRow(row));
            return;
        }
    }
    showInfo(tr("IDS_CAN_NOT_FOUNDSMS_KEYWORD_%0").arg(keyword));
}

void MainWindow::searchCotnact()
{
    AbsTreeItemModel::_ItemNode *node = currentNode();
    if (!node)
        return;
    QList<AbsTreeItemModel::_ItemNode *> candidates;
    int start = 0;
    switch (node->kind) {
    case IOSDeviceNode:
    case AndroidDeviceNode:
    case LocalDBNode:
        candidates = node->children;
        break;
    case ChatSessionNode:
        if (!node->parent)
            return;
        candidates = node->parent->children;
        start = candidates.indexOf(node) + 1;
        break;
    default:
        return;
    }
    const QString keyword = ui->txtHandleKeyword->text().trimmed();
    if (keyword.isEmpty())
        return;
    const int count = candidates.size();
    for (int i = 0; i < count; ++i) {
        AbsTreeItemModel::_ItemNode *candidate = candidates.at((start + i) % count);
        if (candidate->name.contains(keyword, Qt::CaseInsensitive)) {
            ui->treeViewDS->setCurrentIndex(m_treeModel->indexOfNode(candidate));
            return;
        }
    }
    showInfo(tr("IDS_CAN_NOT_FOUNDCONTACT_KEYWORD_%0").arg(keyword));
}

MsgMessageList MainWindow::currentNodeMessages()
{
    AbsTreeItemModel::_ItemNode *node = currentNode();
    if (!node || (node->kind != IOSDeviceNode && node->kind != LocalDBNode))
        return MsgMessageList();
    auto *dbNode = static_cast<_AbsDBItemNode *>(node);
    try {
        NodeLoader::Content content;
        if (!readNode(dbNode, &content) || content.set->chatMap.isEmpty())
            return MsgMessageList();
        showContent(dbNode, content);
        return dbNode->messageSet->messages();
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
        return MsgMessageList();
    }
}

bool MainWindow::readNode(_AbsDBItemNode *node, NodeLoader::Content *content)
{
    const bool descending = ui->treeViewSMS->header()->sortIndicatorOrder() == Qt::DescendingOrder;
    if (!node->opener) {
        node->db->chats(node->messageSet);
        content->set = node->messageSet;
        if (!content->set->chatMap.isEmpty()) {
            node->db->messages(node->messageSet, 0);
            content->sorted = content->set->messages();
            sortMessages(content->sorted, descending);
        }
        return true;
    }
    // The window's events run during the read: the node may go, or another become current.
    const QPersistentModelIndex index(m_treeModel->indexOfNode(node));
    if (!m_loader->load(node->opener, NodeLoader::Scope::Everything, descending, content))
        return false;
    if (!index.isValid() || ui->treeViewDS->currentIndex() != index) {
        m_loader->retire(std::move(content->set));
        return false;
    }
    return true;
}

void MainWindow::showContent(_AbsDBItemNode *node, NodeLoader::Content &content)
{
    QSharedPointer<MsgMessageSet> old = node->messageSet;
    m_treeModel->adoptSet(node, content.set);
    // Every message of the set is read: the sessions need not read theirs.
    for (AbsTreeItemModel::_ItemNode *child : qAsConst(node->children))
        static_cast<_ChatSessionItemNode *>(child)->messagesLoaded = true;
    showSorted(content.sorted, nullptr);
    // Nothing shows the old records any more; freeing a large set takes a while.
    if (old != node->messageSet)
        m_loader->retire(std::move(old));
}

MsgMessageList MainWindow::selectedMessages() const
{
    MsgMessageList list;
    const QModelIndexList rows = ui->treeViewSMS->selectionModel()->selectedRows(0);
    for (const QModelIndex &index : rows) {
        if (_MsgMessage *message = m_listModel->messageAt(index))
            list.append(message);
    }
    return list;
}

void MainWindow::selectNode(AbsTreeItemModel::_ItemNode *node)
{
    const QModelIndex index = m_treeModel->indexOfNode(node);
    if (!index.isValid())
        return;
    ui->treeViewDS->expand(index);
    queueOnTree(index, [](MyTreeView *view, const QModelIndex &i) { view->setCurrentIndex(i); });
}

void MainWindow::releaseViewOf(AbsTreeItemModel::_ItemNode *node)
{
    // The list and the bubbles point into the node's messages.
    if (m_currentChat
        && static_cast<_AbsDBItemNode *>(node)->messageSet->chats().contains(m_currentChat)) {
        clearMessageView();
        return;
    }
    for (auto *shown = currentNode(); shown; shown = shown->parent) {
        if (shown == node) {
            clearMessageView();
            return;
        }
    }
}

void MainWindow::reopenDevice(void *handle)
{
    _IOSDeviceItemNode *node = m_treeModel->deviceNodeOf(handle);
    if (!node)
        return;
    try {
        QSharedPointer<AbsMessageDb> db;
        const DbOpener opener = DeviceArrival::openCopyDatabase(node->device, &db);
        NodeLoader::Content content;
        if (!m_loader->load(opener, NodeLoader::Scope::Chats, false, &content))
            return;
        // The device may have gone while its chats were read.
        node = m_treeModel->deviceNodeOf(handle);
        if (!node) {
            m_loader->retire(std::move(content.set));
            return;
        }
        bool shown = false;
        for (auto *current = currentNode(); current; current = current->parent)
            shown = shown || current == node;
        if (shown)
            clearCurrentNode();
        releaseViewOf(node);
        QSharedPointer<MsgMessageSet> old = node->messageSet;
        node->db = db;
        node->opener = opener;
        m_treeModel->adoptSet(node, content.set);
        m_loader->retire(std::move(old));
        if (shown)
            selectNode(node);
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
    }
}

void MainWindow::clearCurrentNode()
{
    // Clearing the selection runs the selection handler, which empties the views; a node
    // made current again later is then a change that reloads them.
    ui->treeViewDS->selectionModel()->clear();
    clearMessageView();
}

int MainWindow::deviceCount() const
{
    return m_treeModel->rootDevice()->countChildrenOfKind(IOSDeviceNode);
}

void MainWindow::updateMenuActions()
{
    MainMenus::updateActions(m_actions, currentNode(), deviceCount());
}

void MainWindow::onMainTreeContextMenu()
{
    QMenu menu(this);
    if (MainMenus::fillTreeMenu(menu, this, currentNode(), deviceCount()))
        m_services.execMenu(menu);
}

void MainWindow::onSMSContextMenu()
{
    QMenu menu(this);
    if (MainMenus::fillListMenu(menu, this, currentNode(), deviceCount()))
        m_services.execMenu(menu);
}

MainWindow::SourceRefs MainWindow::sourceRefs() const
{
    AbsTreeItemModel::_ItemNode *node = currentNode();
    if (node && node->kind == ChatSessionNode)
        node = node->parent;
    if (!node || node->kind < IOSDeviceNode || node->kind > LocalDBNode)
        return SourceRefs();
    auto *dbNode = static_cast<_AbsDBItemNode *>(node);
    return { dbNode->db, dbNode->messageSet };
}

void MainWindow::dispatch(Scope scope, Flow flow)
{
    if (scope == Scope::Plain) {
        AbsTreeItemModel::_ItemNode *node = currentNode();
        if (!selectedMessages().isEmpty())
            scope = Scope::Selection;
        else if (!node)
            return;
        else if (node->kind == ChatSessionNode)
            scope = Scope::Chat;
        else
            scope = Scope::Everything;
    }
    MsgMessageList list;
    switch (scope) {
    case Scope::Selection:
        list = selectedMessages();
        break;
    case Scope::Chat:
        list = m_listModel->messages();
        break;
    case Scope::Everything:
    case Scope::Plain:
        list = currentNodeMessages();
        if (list.isEmpty())
            return;
        break;
    }
    // Taken after the read, which may have given the node a new set.
    const SourceRefs keep = sourceRefs();
    (this->*flow)(list);
}

void MainWindow::printMessages(const MsgMessageList &messages)
{
    // The preview paints on this thread and runs the window's events between pages: an
    // arrival started there would run inside the painting.
    const DeviceArrival::Hold hold(*m_deviceArrival);
    OutputFlow(*this).printMessages(messages);
}

void MainWindow::extractMedia(const MsgMessageList &messages)
{
    OutputFlow(*this).extractMedia(messages);
}

void MainWindow::exportMessages(const MsgMessageList &messages)
{
    OutputFlow(*this).exportMessages(messages);
}

void MainWindow::backupMessages(const MsgMessageList &messages)
{
    LocalDbFlow(*this).backupMessages(currentNode(), messages);
}

void MainWindow::backupToLocalDb(const QString &proposedName, const MsgMessageList &messages)
{
    LocalDbFlow(*this).backupToLocalDb(proposedName, messages);
}

void MainWindow::importITunesBackup(const QString &proposedName)
{
    LocalDbFlow(*this).importITunesBackup(proposedName);
}

void MainWindow::exportToITunesBackup(const MsgMessageList &messages)
{
    RestoreFlow(*this).exportToITunesBackup(messages);
}

void MainWindow::transferToIPhone(const MsgMessageList &messages)
{
    RestoreFlow(*this).transferToIPhone(messages, sourceRefs().db.data());
}

// clang-format off
void MainWindow::miBackup() { dispatch(Scope::Plain, &MainWindow::backupMessages); }
void MainWindow::miBackupSel() { dispatch(Scope::Selection, &MainWindow::backupMessages); }
void MainWindow::miBackupChat() { dispatch(Scope::Chat, &MainWindow::backupMessages); }
void MainWindow::miBackupAll() { dispatch(Scope::Everything, &MainWindow::backupMessages); }
void MainWindow::miI2I() { dispatch(Scope::Plain, &MainWindow::transferToIPhone); }
void MainWindow::miI2ISel() { dispatch(Scope::Selection, &MainWindow::transferToIPhone); }
void MainWindow::miI2IChat() { dispatch(Scope::Chat, &MainWindow::transferToIPhone); }
void MainWindow::miI2IAll() { dispatch(Scope::Everything, &MainWindow::transferToIPhone); }
void MainWindow::miDb2I() { dispatch(Scope::Plain, &MainWindow::transferToIPhone); }
void MainWindow::miDb2ISel() { dispatch(Scope::Selection, &MainWindow::transferToIPhone); }
void MainWindow::miDb2IChat() { dispatch(Scope::Chat, &MainWindow::transferToIPhone); }
void MainWindow::miDb2IAll() { dispatch(Scope::Everything, &MainWindow::transferToIPhone); }
void MainWindow::miExtractMedia() { dispatch(Scope::Plain, &MainWindow::extractMedia); }
void MainWindow::miExtractMediaSel() { dispatch(Scope::Selection, &MainWindow::extractMedia); }
void MainWindow::miExtractMediaChat() { dispatch(Scope::Chat, &MainWindow::extractMedia); }
void MainWindow::miExtractMediaAll() { dispatch(Scope::Everything, &MainWindow::extractMedia); }
void MainWindow::miExport() { dispatch(Scope::Plain, &MainWindow::exportMessages); }
void MainWindow::miExportSel() { dispatch(Scope::Selection, &MainWindow::exportMessages); }
void MainWindow::miExportChat() { dispatch(Scope::Chat, &MainWindow::exportMessages); }
void MainWindow::miExportAll() { dispatch(Scope::Everything, &MainWindow::exportMessages); }
void MainWindow::miPrint() { dispatch(Scope::Plain, &MainWindow::printMessages); }
void MainWindow::miPrintSel() { dispatch(Scope::Selection, &MainWindow::printMessages); }
void MainWindow::miPrintChat() { dispatch(Scope::Chat, &MainWindow::printMessages); }
void MainWindow::miPrintAll() { dispatch(Scope::Everything, &MainWindow::printMessages); }
void MainWindow::miExport2ITunesBK() { dispatch(Scope::Plain, &MainWindow::exportToITunesBackup); }
void MainWindow::miExport2ITunesBKSel() { dispatch(Scope::Selection, &MainWindow::exportToITunesBackup); }
void MainWindow::miExport2ITunesBKChat() { dispatch(Scope::Chat, &MainWindow::exportToITunesBackup); }
void MainWindow::miExport2ITunesBKAll() { dispatch(Scope::Everything, &MainWindow::exportToITunesBackup); }
// clang-format on

void MainWindow::miDel()
{
    AbsTreeItemModel::_ItemNode *node = currentNode();
    if (!selectedMessages().isEmpty())
        miDelSel();
    else if (!node)
        return;
    else if (node->kind == ChatSessionNode)
        miDelChat();
    else
        miDelAll(); // asks its own question first
}

void MainWindow::miDelSel()
{
    const SourceRefs keep = sourceRefs();
    DeleteFlow(*this).deleteSelected(currentNode(), selectedMessages());
}

void MainWindow::miDelChat()
{
    const SourceRefs keep = sourceRefs();
    DeleteFlow(*this).deleteChat(currentNode(), m_listModel->messages());
}

void MainWindow::miDelAll()
{
    const SourceRefs keep = sourceRefs();
    DeleteFlow(*this).deleteDatabase(currentNode());
}

void MainWindow::miImportItunes()
{
    importITunesBackup(QString());
}

void MainWindow::miImportToLocalDb()
{
    AbsTreeItemModel::_ItemNode *node = currentNode();
    if (node && node->kind == LocalDBNode)
        importITunesBackup(node->name);
}

void MainWindow::openFolder(const QString &folder)
{
    if (!m_services.openFolder(folder))
        showInfo(tr("IDS_CANNOT_OPEN_FOLDER_%1").arg(folder.toHtmlEscaped()));
}

void MainWindow::miOpenDbFolder()
{
    openFolder(localDbFolder().absolutePath());
}

void MainWindow::miViewCache()
{
    AbsTreeItemModel::_ItemNode *node = currentNode();
    if (!node || node->kind != IOSDeviceNode)
        return;
    openFolder(static_cast<_IOSDeviceItemNode *>(node)->device.cacheDir().absolutePath());
}

void MainWindow::miClearCache()
{
    QStringList inUse;
    for (AbsTreeItemModel::_ItemNode *node : m_treeModel->allNodes()) {
        if (node->kind == IOSDeviceNode || node->kind == LocalDBNode)
            inUse << databaseFilePath(*static_cast<_AbsDBItemNode *>(node)->db);
    }
    QStringList failed;
    for (const char *name : { "ios_cache", "itunes_cache" })
        failed << clearCacheFolder(dataFolder().filePath(QLatin1String(name)), inUse);
    {
        // The temporary backup folder may lie on any drive: a worker finds and removes it while
        // the window keeps painting. Cancel would only leave the window waiting for the removal.
        ProgressForm form(QString(), this);
        form.setBusy(QString());
        form.setCancelEnabled(false);
        const std::unique_ptr<QThread> worker(QThread::create([&form] {
            clearTempBackupRoot();
            ProgressForm::postSucceed(&form, QString());
        }));
        runWorkerStep(*worker, form);
    }
    if (!failed.isEmpty()) {
        for (QString &path : failed)
            path = path.toHtmlEscaped();
        showError(tr("IDS_CLEAR_CACHE_FAILED_%1").arg(failed.join(QLatin1String("<br/>"))));
        return;
    }
    showInfo(tr("IDS_SUC_CLEAR_CACHE"));
}

void MainWindow::miUnmoutDevice()
{
    const QModelIndexList rows = ui->treeViewDS->selectionModel()->selectedRows(0);
    if (rows.isEmpty())
        return;
    AbsTreeItemModel::_ItemNode *node = AbsTreeItemModel::nodeOf(rows.first());
    if (!node || node->kind != IOSDeviceNode)
        return;
    // The views may show the node's records: empty them before the node takes them along.
    clearCurrentNode();
    m_treeModel->removeNode(node);
}

void MainWindow::openWebPage(const QString &pathAndQuery)
{
    const QString url = AppConfig::helpUrl(pathAndQuery);
    if (url.isEmpty())
        showInfo(tr("IDS_NO_WEB_HOST"));
    else if (!m_services.openUrl(url))
        showInfo(tr("IDS_CANNOT_OPEN_WEB_PAGE_%1").arg(url.toHtmlEscaped()));
}

void MainWindow::miCheckUpdate()
{
    openWebPage(QStringLiteral("/sms_check_update.php?pid=%1&ver=%2")
                    .arg(AppConfig::productId())
                    .arg(AppConfig::buildNumber()));
}

void MainWindow::miHelp()
{
    openWebPage(QStringLiteral("/quillmarrow-threadkeeper/help.html"));
}

void MainWindow::miFeedback()
{
    openWebPage(QStringLiteral("/support.html"));
}

void MainWindow::miHome()
{
    openWebPage(QStringLiteral("/quillmarrow-threadkeeper.html"));
}

void MainWindow::miAbout()
{
    m_services.about(this);
}
