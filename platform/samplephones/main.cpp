// Writes the sample phones into the devices folder: the folder given, else the one the
// device library watches. With --if-empty it writes and says nothing when that folder
// already holds phones.
#include "platform/mobiledevice/devicesfolder.h"
#include "platform/samplephones/samplephones.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <exception>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const bool ifEmpty = arguments.removeAll(QStringLiteral("--if-empty")) > 0;
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (arguments.size() > 1 || (arguments.size() == 1 && arguments.first().startsWith('-'))) {
        err << "Usage: quillmarrow-sample-phones [--if-empty] [DEVICES_FOLDER]\n";
        return 2;
    }
    const QString folder = QDir::cleanPath(QDir::current().absoluteFilePath(arguments.isEmpty()
            ? QFile::decodeName(QByteArray::fromStdString(DevicesFolder::path()))
            : arguments.first()));
    if (samplephones::holdsPhones(folder)) {
        if (ifEmpty)
            return 0;
        err << "No sample phones written: the devices folder " << folder
            << " already holds phones, and sample phones go only into an empty one.\n";
        return 1;
    }
    try {
        samplephones::write(folder);
    } catch (const std::exception &e) {
        err << "No sample phones written: " << QString::fromUtf8(e.what()) << "\n";
        return 1;
    }
    out << "Two sample phones, with made-up contacts and messages, were put into the devices "
           "folder\n  "
        << folder << "\n";
    for (const samplephones::PhoneSummary &phone : samplephones::phones()) {
        out << "  " << phone.folder << ": \"" << phone.name << "\", iOS " << phone.productVersion
            << ", " << phone.chats << " chats, " << phone.messages << " messages\n";
    }
    out << "They arrive in the program as phones plugged in. To remove them, delete their "
           "folders there.\n";
    return 0;
}
