// The files and folders one export run has made, so that a cancelled or failed run removes
// exactly those and never anything that was there before.
#pragma once

#include <QString>
#include <QStringList>

class CreatedPaths
{
public:
    // Creates the folder with its missing parents and remembers the levels it made. Throws
    // a std::runtime_error when the folder cannot be made.
    void makeFolder(const QString &path);
    // Copies a file (its target folder must exist) and remembers the copy; never replaces
    // anything. False, copying nothing, when something is at the target or the source
    // cannot be read; throws when the target cannot be written (no part of it is left).
    bool copyFile(const QString &source, const QString &target);
    // A file this run has made.
    void addFile(const QString &path);

    // Removes the remembered files, then the remembered folders with what they hold (only
    // this run wrote into them), newest first; forgets them.
    void removeAll();
    // Keeps everything: the run completed.
    void forget();

    bool isEmpty() const { return files.isEmpty() && folders.isEmpty(); }

private:
    [[noreturn]] static void failCopy(
        const QString &source, const QString &target, const QString &error);

    QStringList files;
    QStringList folders;
};
