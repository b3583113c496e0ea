#include "operations/exportmessagespdf.h"

#include "operations/exportfilename.h"
#include "shell/datafolder.h"

#include <QFileInfo>
#include <QIODevice>

#include <stdexcept>

// Passes the PDF engine's writes on to the file and remembers why one failed: the engine
// ignores failures.
class ExportMessagesPdf::CheckedOutput : public QIODevice
{
public:
    explicit CheckedOutput(ExportTextFile &target)
        : target(target)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    QString failure() const { return error; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 length) override
    {
        if (!error.isEmpty())
            return -1;
        try {
            target.writeBytes(data, length);
        } catch (const std::runtime_error &e) {
            error = QString::fromUtf8(e.what());
            return -1;
        }
        return length;
    }

private:
    ExportTextFile &target;
    QString error;
};

ExportMessagesPdf::ExportMessagesPdf(const QString &path, CreatedPaths *created)
    : path(path)
    , created(created ? created : &ownList)
    , file(path)
{
    try {
        file.open();
    } catch (const std::runtime_error &e) {
        openError = QString::fromUtf8(e.what());
        return;
    }
    output.reset(new CheckedOutput(file));
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
        throw std::runtime_error(
            (openError.isEmpty() ? path + QStringLiteral(": the pages could not be started")
                                 : openError)
                .toStdString());
}

void ExportMessagesPdf::write(_MsgMessage *message)
{
    painter.drawMessage(*message);
    // The pages so far went out as they were completed: a full disk stops the export here.
    failed();
}

void ExportMessagesPdf::end()
{
    begin();
    const bool painted = painter.end();
    failed();
    if (!painted)
        throw std::runtime_error(
            (path + QStringLiteral(": the pages could not be completed")).toStdString());
    file.commit();
    created->addFile(path);
}

void ExportMessagesPdf::failed()
{
    if (output && !output->failure().isEmpty())
        throw std::runtime_error(output->failure().toStdString());
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
