// Our backup tool: backs a simulated phone up into a backup folder or restores one to it.
// Failures print a line with "ERROR:" to standard error and exit with 1.
#include "devicebackup.h"
#include "devicerestore.h"
#include "phonefolder.h"
#include "toolrequest.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>
#include <exception>

namespace {

int failWith(const QString &text)
{
    std::fprintf(stderr, "ERROR: %s\n", text.toUtf8().constData());
    return 1;
}

// A name of one folder: the backup goes below the root and nowhere else.
bool isFolderName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const ToolRequest request = ToolRequest::parse(app.arguments().mid(1));
    if (request.job == ToolRequest::Invalid)
        return failWith(QStringLiteral("Invalid arguments. Usage: -u UDID --backup --target UDID "
                                       "--root FOLDER | -u UDID --restore --target UDID --root "
                                       "FOLDER --source UDID"));
    if (!isFolderName(request.udid)
        || (request.job == ToolRequest::Restore && !isFolderName(request.source)))
        return failWith(QStringLiteral("Invalid device identifier."));
    try {
        const PhoneFolder phone = PhoneFolder::find(request.udid);
        const QDir root(QDir::fromNativeSeparators(request.root));
        if (request.job == ToolRequest::Backup)
            DeviceBackup(phone, root).run();
        else
            DeviceRestore(phone, root, request.source).run();
    } catch (const std::exception &e) {
        return failWith(QString::fromUtf8(e.what()));
    }
    std::printf("%s finished.\n", request.job == ToolRequest::Backup ? "Backup" : "Restore");
    return 0;
}
