// Shows a list of messages as pages of speech bubbles in a web view and handles the
// page's links itself: paging, opening media files and saving other attachments. The
// markup helpers are shared with the HTML export and printing.
#pragma once

#include "messages/msgrecords.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QWebView;

// Escapes & < > and line breaks (CR LF or LF become "<br/>") and turns emoji into image
// tags, in place; returns the result. Quotes are left alone: for element text only.
QString escapeHtmlText(QString &text);
// The text made safe inside a double-quoted attribute value.
QString escapeHtmlAttribute(const QString &text);
// The local-file URL of a path, percent-encoded and made safe for an attribute value.
QString fileUrlAttribute(const QString &path);
// One bubble around already-built content; a non-empty sender name is shown above it.
QString bubbleHtml(const QString &content, bool fromMe, const QString &senderName);
// A link to a file shown as an image; "bubble/empty_photo.jpg" when the thumbnail is missing.
// attributes is markup of the caller, written as it is.
QString attachmentImageLink(
    const QString &file, const QString &thumbnail, const QString &attributes);
// The emoji callback of the bubble markup: an image from the "emoji" folder.
QString emojiImageTag(void *userData, const QString &hex);

class BubbleViewMgr : public QObject
{
    Q_OBJECT
public:
    static const int MessagesPerPage = 50;

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
    void showBubble(const MsgMessageList &messages);
    void onLoadFinish(bool ok);
    void onLinkClicked(const QUrl &url);
    void firstPage();
    void previousPage();
    void nextPage();
    void lastPage();
    void scrollToPos(int row);

protected:
    // The desktop actions behind a link; tests replace them.
    virtual void openFile(const QString &path);
    // The save target chosen by the user, or "" when the dialog was cancelled.
    virtual QString askSavePath(const QString &proposedPath);

private:
    void saveAttachment(const QString &path);

    QPointer<QWebView> view;
    MsgMessageList list;
    int curPage = 0;
    int pageCount = 0;
    QString anchor;
};
