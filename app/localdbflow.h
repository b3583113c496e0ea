// The flows that save messages into a local message database: from a device or database of
// the tree, or from an iTunes backup (encrypted ones too) read into the cache first.
#pragma once

#include "records/msgrecords.h"
#include "shell/abstreeitemmodel.h"

#include <QCoreApplication>

class FlowHost;
class _LocalDBItemNode;

class LocalDbFlow
{
    Q_DECLARE_TR_FUNCTIONS(LocalDbFlow)
public:
    explicit LocalDbFlow(FlowHost &host);

    // Proposes the name of the current device or database (a chat's parent) with "_Backup".
    void backupMessages(AbsTreeItemModel::_ItemNode *current, const MsgMessageList &messages);
    // Asks for the database, creating its node when the name is new, and saves into it.
    void backupToLocalDb(const QString &proposedName, const MsgMessageList &messages);
    // An empty name proposes the backup's device name with "_Backup".
    void importITunesBackup(const QString &proposedName);

private:
    _LocalDBItemNode *findOrAddDatabase(const QString &name);

    FlowHost &m_host;
};
