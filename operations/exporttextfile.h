// The output file of the text, CSV and HTML writers with its UTF-8 stream. An existing
// regular file is replaced only when the new one is complete (it is written beside it and
// renamed), a new file is removed again unless completed, so that a failed or cancelled
// export leaves the target as it was; every failed write is reported.
#pragma once

#include <QString>
#include <QTextStream>

#include <memory>

class QFileDevice;

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

    QString filePath;
    std::unique_ptr<QFileDevice> file;
    QTextStream out;
    bool createdNew = false;
    bool committed = false;
};
