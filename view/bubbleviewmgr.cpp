#include "view/bubbleviewmgr.h"

#include "platform/durablefile/durablefile.h"
#include "shell/datafolder.h"
#include "shell/messagebox.h"
#include "view/bubblepage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QWebFrame>
#include <QWebPage>
#include <QWebSettings>
#include <QWebView>

BubbleViewMgr::BubbleViewMgr(QObject *parent)
    : QObject(parent)
{
}

void BubbleViewMgr::attachView(QWebView *webView)
{
    view = webView;
    if (!view)
        return;
    view->page()->setLinkDelegationPolicy(QWebPage::DelegateAllLinks);
    // Message texts and file names come from other people's phones: no script may run.
    view->settings()->setAttribute(QWebSettings::JavascriptEnabled, false);
    connect(view, &QWebView::loadFinished, this, &BubbleViewMgr::onLoadFinish);
    connect(view, &QWebView::linkClicked, this, &BubbleViewMgr::onLinkClicked);
}

void BubbleViewMgr::showPage(int page)
{
    if (page < 1 || page > pageCount)
        return;
    const QString html = bubblePageHtml(list, page, pageCount, listOrder);
    if (view) {
        view->setHtml(
            html, QUrl::fromLocalFile(QCoreApplication::applicationDirPath() + QLatin1Char('/')));
    }
}

bool BubbleViewMgr::opensWithShell(const QString &suffix)
{
    // Whole suffixes only: a file without one, or with a fragment such as "pe", is saved
    // rather than handed to the shell. Case does not count: cameras write "JPG" and "MOV".
    static const QStringList media = { QStringLiteral("jpg"), QStringLiteral("jpeg"),
        QStringLiteral("png"), QStringLiteral("bmp"), QStringLiteral("gif"), QStringLiteral("mp3"),
        QStringLiteral("mp4"), QStringLiteral("mov") };
    return media.contains(suffix, Qt::CaseInsensitive);
}

void BubbleViewMgr::showBubble(const MsgMessageList &messages, Qt::SortOrder order)
{
    list = messages;
    listOrder = order;
    if (list.isEmpty()) {
        curPage = 0;
        pageCount = 0;
        if (view)
            view->setHtml(QString(), QUrl());
        return;
    }
    pageCount = (list.size() + MessagesPerPage - 1) / MessagesPerPage;
    firstPage();
}

void BubbleViewMgr::onLoadFinish(bool)
{
    if (view)
        view->page()->mainFrame()->scrollToAnchor(anchor);
}

void BubbleViewMgr::onLinkClicked(const QUrl &url)
{
    if (url.path() == QLatin1String("/pre_page")) {
        previousPage();
        return;
    }
    if (url.path() == QLatin1String("/next_page")) {
        nextPage();
        return;
    }
    if (!url.isLocalFile())
        return;
    const QString path = url.toLocalFile();
    const QFileInfo info(path);
    if (!info.isFile()) {
        showWarning(tr("can not find %1.").arg(path));
        return;
    }
    if (opensWithShell(info.suffix())) {
        if (!openFile(path))
            showInfo(tr("IDS_CANNOT_OPEN_FILE_%1").arg(path.toHtmlEscaped()));
    } else {
        saveAttachment(path);
    }
}

void BubbleViewMgr::firstPage()
{
    curPage = 1;
    anchor = QStringLiteral("start");
    showPage(curPage);
}

void BubbleViewMgr::previousPage()
{
    if (curPage < 2)
        return;
    anchor = QStringLiteral("end");
    --curPage;
    showPage(curPage);
}

void BubbleViewMgr::nextPage()
{
    if (curPage >= pageCount)
        return;
    anchor = QStringLiteral("start");
    ++curPage;
    showPage(curPage);
}

void BubbleViewMgr::lastPage()
{
    curPage = pageCount;
    anchor = QStringLiteral("end");
    showPage(curPage);
}

void BubbleViewMgr::scrollToPos(int row)
{
    if (row < 0 || row >= list.size() || !list.at(row))
        return;
    anchor = QStringLiteral("sms_%1").arg(list.at(row)->rowid);
    const int target = (row + MessagesPerPage) / MessagesPerPage;
    if (target == curPage) {
        if (view)
            view->page()->mainFrame()->scrollToAnchor(anchor);
        return;
    }
    curPage = target;
    showPage(curPage);
}

bool BubbleViewMgr::openFile(const QString &path)
{
    return openUrl(path);
}

QString BubbleViewMgr::askSavePath(const QString &proposedPath)
{
    return QFileDialog::getSaveFileName(nullptr, tr("IDS_SAVE_ATTACHMENT"), proposedPath);
}

void BubbleViewMgr::saveAttachment(const QString &path)
{
    const QString target = askSavePath(QDir::home().filePath(QFileInfo(path).fileName()));
    if (target.isEmpty())
        return;
    if (QFileInfo::exists(target)
        && QFileInfo(target).canonicalFilePath() == QFileInfo(path).canonicalFilePath()) {
        // Removing the target first would delete the attachment itself.
        showInfo(tr("IDS_SAVE_ATTACHMENT_SUC"));
        return;
    }
    // The old file goes only once the copy is complete.
    if (durable::copyFile(path, target))
        showInfo(tr("IDS_SAVE_ATTACHMENT_SUC"));
    else
        showError(tr("IDS_SAVE_ATTACHMENT_FILE_ERROR"));
}
