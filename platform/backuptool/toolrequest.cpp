#include "toolrequest.h"

ToolRequest ToolRequest::parse(const QStringList &a)
{
    ToolRequest request;
    const bool backup = a.size() == 7 && a.at(2) == QLatin1String("--backup");
    const bool restore = a.size() == 9 && a.at(2) == QLatin1String("--restore")
        && a.at(7) == QLatin1String("--source") && !a.at(8).isEmpty();
    if ((!backup && !restore) || a.at(0) != QLatin1String("-u")
        || a.at(3) != QLatin1String("--target") || a.at(5) != QLatin1String("--root"))
        return request;
    // The device is named twice; both must agree, and the root must be a folder path.
    if (a.at(1).isEmpty() || a.at(4) != a.at(1) || a.at(6).isEmpty())
        return request;
    request.job = backup ? Backup : Restore;
    request.udid = a.at(1);
    request.root = a.at(6);
    request.source = restore ? a.at(8) : QString();
    return request;
}
