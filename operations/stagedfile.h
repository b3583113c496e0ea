// A file that appears under its name only when it is complete, so that a killed, failed or
// cancelled export never leaves a part of it that looks like a result. It is written beside
// its target, unseen where the file system allows (else as "<name>.XXXXXX.partial"), and
// put in place by commit.
#pragma once

#include <QFileDevice>
#include <QString>

#include <memory>

class StagedFile
{
public:
    explicit StagedFile(const QString &target);
    // Discards what was written unless commit succeeded.
    ~StagedFile();
    StagedFile(const StagedFile &) = delete;
    StagedFile &operator=(const StagedFile &) = delete;

    // Starts the file beside the target (which must be a regular file or nothing). False,
    // with errorString(), when it cannot be created.
    bool open();
    QFileDevice &device() { return *file; }
    // Puts the file in place: an existing regular file is replaced; a new name is never
    // taken from anything that appeared there meanwhile. False, with errorString(), when
    // it failed; the target is then as it was.
    bool commit();
    QString errorString() const { return error; }
    QString target() const { return targetPath; }

    // Removes the "<name>.XXXXXX.partial" files that killed runs left beside the target. A
    // folder listing: for the few files a user names, not for every copied picture.
    static void removeLeftovers(const QString &target);

private:
    QString targetPath;
    std::unique_ptr<QFileDevice> file;
    QString error;
    bool replacing = false;
};
