// Reads the chats and messages of a device or local database into a new set on a thread of
// its own, through a database object of its own, while the window keeps painting; a read
// that takes a while runs under the progress dialog, whose Cancel drops it.
#pragma once

#include "records/absdb.h"
#include "records/msgrecords.h"

#include <QCoreApplication>
#include <QSharedPointer>
#include <QThreadPool>

#include <functional>

class QWidget;

class NodeLoader
{
    Q_DECLARE_TR_FUNCTIONS(NodeLoader)
public:
    // Opens another object on a node's file; the read uses it alone.
    using Opener = std::function<QSharedPointer<AbsMessageDb>()>;

    enum class Scope {
        Chats,
        // The chats and, when there are any, all their messages.
        Everything,
    };

    struct Content
    {
        QSharedPointer<MsgMessageSet> set;
        // The set's messages in the list's order; empty for chats alone.
        MsgMessageList sorted;
    };

    explicit NodeLoader(QWidget *dialogParent);
    // Waits for reads that were cancelled but have not ended yet.
    ~NodeLoader();

    // Returns with the content read, or false when the user cancelled; throws the reader's
    // error. The window's events run while it waits, without user input until the
    // progress dialog shows.
    bool load(const Opener &open, Scope scope, bool descending, Content *content);
    // Lets go of a set nothing shows any more; the last reference frees it off this thread.
    void retire(QSharedPointer<MsgMessageSet> set);

private:
    QWidget *m_dialogParent;
    QThreadPool m_pool;
};
