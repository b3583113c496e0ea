#include "operations/exporttextfile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <stdexcept>

ExportTextFile::ExportTextFile(const QString &path)
    : filePath(path)
{
}

ExportTextFile::~ExportTextFile()
{
    out.setDevice(nullptr);
    if (committed || !file)
        return;
    // A save file that is not committed leaves the target as it was.
    if (qobject_cast<QSaveFile *>(file.get()))
        return;
    file->close();
    if (createdNew)
        QFile::remove(filePath);
}

void ExportTextFile::open()
{
    const QFileInfo info(filePath);
    QIODevice::OpenMode mode = QIODevice::WriteOnly;
    // Only a regular file is replaced by renaming: a device or pipe is written in place. A
    // new file is written where it stays (no sync per file: an HTML export writes hundreds).
    if (info.isFile()) {
        file.reset(new QSaveFile(filePath));
    } else {
        createdNew = !info.exists() && !info.isSymLink();
        file.reset(new QFile(filePath));
        mode |= createdNew ? QIODevice::NewOnly : QIODevice::Truncate;
    }
    if (!file->open(mode)) {
        createdNew = false;
        fail(file->errorString());
    }
    out.setDevice(file.get());
    out.setCodec("UTF-8");
    out.setGenerateByteOrderMark(false);
}

void ExportTextFile::checkWritten()
{
    // The device forgets its error at its next write; the stream remembers that one failed.
    if (file->error() != QFileDevice::NoError)
        fail(file->errorString());
    if (out.status() != QTextStream::Ok)
        fail(QStringLiteral("The file could not be written completely; the disk may be full."));
}

void ExportTextFile::commit()
{
    out.flush();
    checkWritten();
    if (auto *save = qobject_cast<QSaveFile *>(file.get())) {
        if (!save->commit())
            fail(save->errorString());
    } else {
        file->close();
        if (file->error() != QFileDevice::NoError)
            fail(file->errorString());
    }
    out.setDevice(nullptr);
    committed = true;
}

void ExportTextFile::fail(const QString &error)
{
    throw std::runtime_error(QStringLiteral("%1: %2").arg(filePath, error).toStdString());
}
