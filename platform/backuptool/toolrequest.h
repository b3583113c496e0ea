// The command lines the backup tool accepts, and nothing else:
//   -u UDID --backup --target UDID --root FOLDER
//   -u UDID --restore --target UDID --root FOLDER --source UDID
#pragma once

#include <QString>
#include <QStringList>

struct ToolRequest
{
    enum Job { Invalid, Backup, Restore };

    Job job = Invalid;
    QString udid;
    QString root;
    QString source;

    // An invalid request for any other command line.
    static ToolRequest parse(const QStringList &arguments);
};
