// The flows that delete from local message databases: the selected messages, the messages
// of the chat on display, or a whole database with its folder.
#pragma once

#include "records/msgrecords.h"
#include "shell/abstreeitemmodel.h"

#include <QCoreApplication>

class FlowHost;
class _LocalDBItemNode;

class DeleteFlow
{
    Q_DECLARE_TR_FUNCTIONS(DeleteFlow)
public:
    explicit DeleteFlow(FlowHost &host);

    // `current` is the current tree node. Messages go from a local database only: the node
    // itself or the parent of a chat session; anything else does nothing.
    void deleteSelected(AbsTreeItemModel::_ItemNode *current, const MsgMessageList &selected);
    // The messages shown of a chat session under a local database.
    void deleteChat(AbsTreeItemModel::_ItemNode *current, const MsgMessageList &shown);
    void deleteDatabase(AbsTreeItemModel::_ItemNode *current);

    // The local database that deleting acts on for the current node, or null.
    static _LocalDBItemNode *databaseOf(AbsTreeItemModel::_ItemNode *current);

private:
    // True when the worker deleted them; the database node is rebuilt from the file then.
    bool deleteMessages(_LocalDBItemNode *node, MsgMessageList messages);
    bool stillThere(const _LocalDBItemNode *node) const;

    FlowHost &m_host;
};
