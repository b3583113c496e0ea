// The output file of the text, CSV, HTML and PDF writers; text is written as UTF-8 without a
// byte-order mark. A regular file, new or replacing one, appears only when complete (it is staged
// beside its target), so that a failed, cancelled or killed export leaves the target as it was; a
// device or pipe is written in place. Every failed write is reported, with the path and the
// system's reason.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>

class DurableFile;

class ExportTextFile
{
public:
    explicit ExportTextFile(const QString &path);
    // Discards what was written unless commit succeeded.
    ~ExportTextFile();

    // Throws a std::runtime_error with the file's error text when it cannot be opened.
    void open();
    // Append text; what is gathered goes out in large writes, and these throw when the file
    // did not take them whole (a full disk, a removed folder).
    ExportTextFile &operator<<(const QString &text);
    ExportTextFile &operator<<(QLatin1String text);
    ExportTextFile &operator<<(char c);
    void writeBytes(const char *data, qint64 size);
    // Appends `text`, then blanks up to `width` characters.
    void writePadded(const QString &text, int width);
    // Writes out the rest and puts the file in place; throws when anything did not reach
    // the disk.
    void commit();

    QString path() const { return filePath; }

private:
    void append(const QChar *text, int length);
    void writeOut();
    [[noreturn]] void fail(const QString &error);
    QFileDevice &device();

    QString filePath;
    std::unique_ptr<DurableFile> staged;
    QFile direct;
    QByteArray buffer;
};
