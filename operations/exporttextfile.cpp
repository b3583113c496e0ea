#include "operations/exporttextfile.h"

#include "platform/durablefile/durablefile.h"

#include <QFileInfo>

#include <stdexcept>

ExportTextFile::ExportTextFile(const QString &path)
    : filePath(path)
{
}

ExportTextFile::~ExportTextFile()
{
    out.setDevice(nullptr);
}

QFileDevice &ExportTextFile::device()
{
    return staged ? staged->device() : direct;
}

void ExportTextFile::open()
{
    const QFileInfo info(filePath);
    // A device or pipe cannot be replaced by renaming; a folder fails to open as it should.
    if (info.isFile() || (!info.exists() && !info.isSymLink())) {
        DurableFile::removeLeftovers(filePath);
        staged.reset(new DurableFile(filePath));
        if (!staged->open())
            fail(staged->errorString());
    } else {
        direct.setFileName(filePath);
        if (!direct.open(QIODevice::WriteOnly | QIODevice::Truncate))
            fail(direct.errorString());
    }
    out.setDevice(&device());
    out.setCodec("UTF-8");
    out.setGenerateByteOrderMark(false);
}

void ExportTextFile::checkWritten()
{
    // The device forgets its error at its next write; the stream remembers that one failed.
    if (device().error() != QFileDevice::NoError)
        fail(device().errorString());
    if (out.status() != QTextStream::Ok)
        fail(QStringLiteral("The file could not be written completely; the disk may be full."));
}

void ExportTextFile::commit()
{
    out.flush();
    checkWritten();
    if (staged) {
        if (!staged->commit())
            fail(staged->errorString());
    } else {
        direct.close();
        if (direct.error() != QFileDevice::NoError)
            fail(direct.errorString());
    }
    out.setDevice(nullptr);
}

void ExportTextFile::fail(const QString &error)
{
    throw std::runtime_error(QStringLiteral("%1: %2").arg(filePath, error).toStdString());
}
