// The files and folders one export or save run has made, so that a cancelled or failed run
// removes exactly those and never anything that was there before; and the targets it holds, so
// that one run of any window at a time writes each.
#pragma once

#include "platform/durablefile/targetlock.h"

#include <QFile>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class CreatedPaths
{
public:
    // Holds `target`, a file or (with `folder`) a folder, until the run is done: one run of any
    // window at a time writes it. Throws, naming the target, when another run holds it or it
    // cannot be held.
    void hold(const QString &target, bool folder);
    // Creates the folder with its missing parents and remembers the levels it made, never one
    // that another writer made first. Throws when the folder cannot be made.
    void makeFolder(const QString &path);
    // Makes a new, empty folder beside `target` (which the caller holds), and its missing
    // parents, to fill and then put in place with placeFolder: a killed run never leaves part
    // of a folder under the target's name. Throws when it cannot be made.
    QString makeStagingFolder(const QString &target);
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
    // From now on writes each path below `base` into the file `journalPath` before making
    // it, and the ones made so far at once, so that what a killed run made can be found again
    // (removeUnfinished). removeAll and forget remove the journal.
    void writeJournal(const QString &journalPath, const QString &base);
    // Removes what the journal of a run that never finished names below `base`, except files
    // `inUse` holds on to and folders that are not empty then, and finally the journal.
    static void removeUnfinished(const QString &journalPath, const QString &base,
        const std::function<bool(const QString &)> &inUse);

    // Removes the remembered files, then the folders, newest first: a staging folder whole
    // (only this run writes into one), any other only when empty. Forgets them and lets go.
    void removeAll();
    // Keeps everything: the run completed. Lets go of what it holds.
    void forget();

private:
    [[noreturn]] static void failFolder(const QString &folder, int code);
    [[noreturn]] void failJournal() const;

    void note(const QString &path);

    QStringList files;
    QStringList folders;
    QStringList staging;
    std::vector<std::unique_ptr<TargetLock>> held;
    std::unique_ptr<QFile> journal;
    QString journalBase;
};
