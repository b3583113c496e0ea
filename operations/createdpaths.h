// The files and folders one export run has made, so that a cancelled or failed run removes
// exactly those and never anything that was there before.
#pragma once

#include "platform/durablefile/partiallock.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class CreatedPaths
{
public:
    // Creates the folder with its missing parents and remembers the levels it made, never
    // one that another writer made first. Throws a std::runtime_error when the folder
    // cannot be made.
    void makeFolder(const QString &path);
    // Makes a new, empty folder beside `target`, and target's missing parents, for a run to
    // fill and then put in place with placeFolder, so that a killed run never leaves part of
    // a folder under the target's name. It is held until then, so that no other run removes
    // it; what killed runs left there for the same target goes first. Throws when it cannot
    // be made or another run is filling one for the same target.
    QString makeStagingFolder(const QString &target);
    // Holds an existing folder that this run writes into until it is done, so that one run
    // at a time writes there. Throws when another run holds it or it cannot be held.
    void holdFolder(const QString &folder);
    // Renames a staged folder to `target`, where nothing may be, not even an empty folder,
    // and makes that reach the disk. Throws when something took the name meanwhile or the
    // rename failed.
    void placeFolder(const QString &staged, const QString &target);
    // Copies a file (its target folder must exist) and remembers the copy; never replaces
    // anything. False, copying nothing, when something is at the target or the source
    // cannot be read; throws when the target cannot be written (no part of it is left).
    bool copyFile(const QString &source, const QString &target);
    // A file this run makes or has made.
    void addFile(const QString &path);
    // From now on writes each path into the file at `journalPath` before making it, and the
    // ones made so far at once, so that what a killed run made can be found again
    // (removeUnfinished). removeAll and forget remove the journal.
    void writeJournal(const QString &journalPath);
    // Removes what the journal of a run that never finished names, except files `inUse`
    // holds on to and folders that are not empty then, and finally the journal.
    static void removeUnfinished(
        const QString &journalPath, const std::function<bool(const QString &)> &inUse);

    // Removes the remembered files, then the remembered folders, newest first: a staging
    // folder with what it holds (only this run writes into one), any other only when empty,
    // as another run may have put its work there meanwhile. Forgets them.
    void removeAll();
    // Keeps everything: the run completed. Lets go of the folders held.
    void forget();

    bool isEmpty() const { return files.isEmpty() && folders.isEmpty(); }

private:
    [[noreturn]] static void failFolder(const QString &folder, int code);
    [[noreturn]] static void failBusy(const QString &folder);
    [[noreturn]] static void failCopy(
        const QString &source, const QString &target, const QString &error);

    void note(const QString &path);

    struct Staging
    {
        QString folder;
        PartialLock lock;
    };

    QStringList files;
    QStringList folders;
    std::vector<Staging> staging;
    PartialLock held;
    QString journal;
};
