// Shows a list of messages as pages of speech bubbles in a web view and handles the
// page's links itself: paging, opening media files and saving other attachments. The page
// markup comes from bubblepage.h.
#pragma once

#include "records/msgrecords.h"
#include "view/bubblepage.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QWebView;

class BubbleViewMgr : public QObject
{
    Q_OBJECT
public:
    static const int MessagesPerPage = BubblePageSize;

    explicit BubbleViewMgr(QObject *parent = nullptr);

    void attachView(QWebView *view);
    void showPage(int page);

    int currentPage() const { return curPage; }
    int pages() const { return pageCount; }
    QString currentAnchor() const { return anchor; }

    // True when a clicked attachment with this whole suffix, compared without case, is
    // opened rather than saved.
    static bool opensWithShell(const QString &suffix);

public slots:
    // The order is the list's: newest first mirrors each page's date lines.
    void showBubble(const MsgMessageList &messages, Qt::SortOrder order = Qt::AscendingOrder);
    void onLoadFinish(bool ok);
    void onLinkClicked(const QUrl &url);
    void firstPage();
    void previousPage();
    void nextPage();
    void lastPage();
    void scrollToPos(int row);

protected:
    // The desktop actions behind a link; tests replace them. False when nothing on this
    // system opens the file.
    virtual bool openFile(const QString &path);
    // The save target chosen by the user, or "" when the dialog was cancelled.
    virtual QString askSavePath(const QString &proposedPath);

private:
    void saveAttachment(const QString &path);

    QPointer<QWebView> view;
    MsgMessageList list;
    Qt::SortOrder listOrder = Qt::AscendingOrder;
    int curPage = 0;
    int pageCount = 0;
    QString anchor;
};
