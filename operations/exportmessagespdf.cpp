#include "operations/exportmessagespdf.h"

#include "operations/exportfilename.h"
#include "shell/datafolder.h"

#include <QFileInfo>
#include <QIODevice>

#include <stdexcept>

// Passes the PDF engine's writes on and remembers one that failed: the engine ignores them.
class ExportMessagesPdf::CheckedOutput : public QIODevice
{
public:
    explicit CheckedOutput(QIODevice &target)
        : target(target)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    bool failed() const { return lost; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 length) override
    {
        const qint64 written = target.write(data, length);
        lost = lost || written != length;
        return written;
    }

private:
    QIODevice &target;
    bool lost = false;
};

ExportMessagesPdf::ExportMessagesPdf(const QString &path, CreatedPaths *created)
    : path(path)
    , created(created ? created : &ownList)
    , file(path)
{
    if (!file.open())
        return;
    output.reset(new CheckedOutput(file.device()));
    writer.reset(new QPdfWriter(output.get()));
    // The resolution the page layout was made for, whatever the screen of this machine.
    writer->setResolution(96);
    writer->setPageSize(QPageSize(QPageSize::A4));
    writer->setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Point);
    painter.setCutTextNote([this](const _MsgAttachment &a) { return wholeTextNote(a); });
    started = painter.begin(writer.get());
}

ExportMessagesPdf::~ExportMessagesPdf() = default;

void ExportMessagesPdf::begin()
{
    if (!started)
        throw std::runtime_error(QStringLiteral("Cannot create the PDF file %1: %2")
                                     .arg(path, file.errorString())
                                     .toStdString());
}

void ExportMessagesPdf::write(_MsgMessage *message)
{
    painter.drawMessage(*message);
}

void ExportMessagesPdf::end()
{
    if (!painter.end() || output->failed() || !file.commit())
        throw std::runtime_error(
            QStringLiteral("Cannot write the PDF file %1: %2")
                .arg(path, output->failed() ? file.device().errorString() : file.errorString())
                .toStdString());
    created->addFile(path);
}

QString ExportMessagesPdf::wholeTextNote(const _MsgAttachment &attachment)
{
    const QString name
        = safeFileName(QFileInfo(attachment.localPath).fileName(), QStringLiteral("text.txt"));
    const QString target = uniqueFilePath(QFileInfo(path).absoluteDir().filePath(name));
    if (!created->copyFile(attachment.localPath, target))
        return QString();
    return QStringLiteral("The whole text: %1, beside this PDF file")
        .arg(QFileInfo(target).fileName());
}
