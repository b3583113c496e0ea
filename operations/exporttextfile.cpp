#include "operations/exporttextfile.h"

#include "platform/durablefile/durablefile.h"

#include <QFileInfo>

#include <cstring>
#include <stdexcept>

namespace {

// Written out once this much is gathered: few system calls, little memory.
const int bufferBytes = 256 * 1024;

} // namespace

ExportTextFile::ExportTextFile(const QString &path)
    : filePath(path)
{
}

ExportTextFile::~ExportTextFile() = default;

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
        if (!direct.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
            fail(direct.errorString());
    }
    buffer.reserve(bufferBytes + 4096);
}

ExportTextFile &ExportTextFile::operator<<(const QString &text)
{
    append(text.constData(), text.size());
    return *this;
}

ExportTextFile &ExportTextFile::operator<<(QLatin1String text)
{
    // Only ASCII is passed this way.
    buffer.append(text.data(), text.size());
    if (buffer.size() >= bufferBytes)
        writeOut();
    return *this;
}

ExportTextFile &ExportTextFile::operator<<(char c)
{
    buffer.append(c);
    if (buffer.size() >= bufferBytes)
        writeOut();
    return *this;
}

void ExportTextFile::writeBytes(const char *data, qint64 size)
{
    if (buffer.size() + size > bufferBytes) {
        writeOut();
        if (size > bufferBytes) {
            QString error;
            if (!durable::writeAll(device(), data, size, filePath, &error))
                fail(error);
            return;
        }
    }
    buffer.append(data, int(size));
}

void ExportTextFile::writePadded(const QString &text, int width)
{
    append(text.constData(), text.size());
    if (text.size() < width)
        buffer.append(width - text.size(), ' ');
}

void ExportTextFile::append(const QChar *text, int length)
{
    // Encoded in place: converting each value to a byte array of its own took a third of the
    // writers' time.
    const int start = buffer.size();
    buffer.resize(start + 3 * length);
    uchar *out = reinterpret_cast<uchar *>(buffer.data()) + start;
    for (int i = 0; i < length; ++i) {
        const ushort u = text[i].unicode();
        if (u < 0x80) {
            *out++ = uchar(u);
        } else if (u < 0x800) {
            *out++ = uchar(0xC0 | (u >> 6));
            *out++ = uchar(0x80 | (u & 0x3F));
        } else if (QChar::isHighSurrogate(u) && i + 1 < length
            && QChar::isLowSurrogate(text[i + 1].unicode())) {
            const uint c = QChar::surrogateToUcs4(u, text[++i].unicode());
            *out++ = uchar(0xF0 | (c >> 18));
            *out++ = uchar(0x80 | ((c >> 12) & 0x3F));
            *out++ = uchar(0x80 | ((c >> 6) & 0x3F));
            *out++ = uchar(0x80 | (c & 0x3F));
        } else if (QChar::isSurrogate(u)) {
            // Half of a pair has no UTF-8 form; Qt's own conversion writes this.
            *out++ = '?';
        } else {
            *out++ = uchar(0xE0 | (u >> 12));
            *out++ = uchar(0x80 | ((u >> 6) & 0x3F));
            *out++ = uchar(0x80 | (u & 0x3F));
        }
    }
    buffer.resize(int(reinterpret_cast<char *>(out) - buffer.data()));
    if (buffer.size() >= bufferBytes)
        writeOut();
}

void ExportTextFile::writeOut()
{
    QString error;
    if (!buffer.isEmpty()
        && !durable::writeAll(device(), buffer.constData(), buffer.size(), filePath, &error))
        fail(error);
    buffer.resize(0);
}

void ExportTextFile::commit()
{
    writeOut();
    if (staged) {
        if (!staged->commit())
            fail(staged->errorString());
    } else {
        direct.close();
        if (direct.error() != QFileDevice::NoError)
            fail(direct.errorString());
    }
}

void ExportTextFile::fail(const QString &error)
{
    buffer.clear();
    throw std::runtime_error(QStringLiteral("%1: %2").arg(filePath, error).toStdString());
}
