// The output file of the text, CSV and HTML writers with its UTF-8 stream. A regular file,
// new or replacing one, appears only when complete (it is staged beside its target), so that
// a failed, cancelled or killed export leaves the target as it was; a device or pipe is
// written in place. Every failed write is reported.
#pragma once

#include <QFile>
#include <QString>
#include <QTextStream>

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
    QTextStream &stream() { return out; }
    // Throws when a write so far has failed (a full disk, a removed folder).
    void checkWritten();
    // Flushes and puts the file in place; throws when anything did not reach the disk.
    void commit();

    QString path() const { return filePath; }

private:
    [[noreturn]] void fail(const QString &error);
    QFileDevice &device();

    QString filePath;
    std::unique_ptr<DurableFile> staged;
    QFile direct;
    QTextStream out;
};
