// The worker that merges a list of messages into a device's iOS 6+ sms.db taken from a
// backup, in one chronological order, and puts the merged file back into that backup with
// its index updated.
#pragma once

#include "backup/mbdbrecord.h"
#include "records/msgrecords.h"

#include <QDir>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>

class BackupPatch;
class DeviceJoins;
class IOS6MessageDb;
class ProgressForm;
struct RestoreEntry;

class IOS6RestoreMessagesThread : public QThread
{
    Q_OBJECT
public:
    // The stages of a run; a failure or cancel before PatchBackup leaves the backup alone.
    enum class Step {
        CopyDatabase,
        EmptyCopy,
        Refill,
        PatchBackup,
        CopyAttachments,
        ReplaceDatabase,
        WriteIndex
    };

    IOS6RestoreMessagesThread(const QString &countryCode, MsgMessageList *messages,
        IOS6MessageDb *source, const QDir &backupFolder, ProgressForm *form,
        QObject *parent = nullptr);
    ~IOS6RestoreMessagesThread() override;

    // Messages left out because their chat is unknown, and messages accepted for the merge.
    int skipped = 0;
    int restored = 0;

    // True once the backup holds the merged file: from then on the run no longer reacts
    // to Cancel, and the caller must not treat a cancelled dialog as "nothing happened".
    bool backupChanged() const { return changed; }
    // The merged copy of the database beside the source, kept after a successful run.
    QString workPath() const { return work; }

    // Unix seconds for the names of the work copy and of the files kept aside.
    void setClock(std::function<qint64()> clock);
    // Called as each step begins; tests fail or cancel a run there.
    void setStepHook(std::function<void(Step)> hook);

protected:
    void run() override;

private:
    void step(Step s);
    void checkBackupIndex();
    void refill(IOS6MessageDb &target);
    void insertEntries(IOS6MessageDb &target, const QVector<RestoreEntry> &entries,
        const DeviceJoins &chatMap, const DeviceJoins &attachmentMap);
    void patchBackup(BackupPatch &patch);
    bool cancelled() const;

    QString country;
    MsgMessageList *messages;
    IOS6MessageDb *source;
    QDir backupFolder;
    ProgressForm *form;
    std::function<qint64()> clock;
    std::function<void(Step)> stepHook;
    MsgMessageList withAttachments;
    MbdbIndex index;
    QString work;
    std::atomic<bool> changed { false };
};
