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
    // Copies a file to a target where nothing exists yet (its folder must exist) and
    // remembers the copy. False, copying nothing, when the source cannot be read; throws
    // when the target cannot be written.
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
    QStringList files;
    QStringList folders;
};
