// One opened backup folder: its device information, keybag, virtual file tree built from
// Manifest.mbdb, indexes of well-known files, and the copying of stored files out of it.
#pragma once

#include "backup/keybag.h"
#include "backup/mbdbrecord.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QList>
#include <QMap>
#include <QObject>
#include <memory>
#include <stdexcept>
#include <vector>

// The device block of Manifest.plist; field names are the property-list keys.
struct BackupDeviceInfo
{
    QString UniqueDeviceID;
    QString DeviceName;
    QDateTime Date;
    QString ProductType;
    QString ProductVersion;
    QString SerialNumber;
    bool IsEncrypted = false;
    QByteArray BackupKeyBag;
};

// One node of the virtual file tree; owns its children.
struct BackupFileNode
{
    QString name;
    MbdbRecord record;
    BackupFileNode *parent = nullptr;
    std::vector<std::unique_ptr<BackupFileNode>> children;

    BackupFileNode() = default;
    BackupFileNode(const BackupFileNode &) = delete;
    BackupFileNode &operator=(const BackupFileNode &) = delete;
    ~BackupFileNode();

    // The child with this exact name, or null.
    BackupFileNode *child(const QString &childName) const;
};

using ExtractProgressFn = void (*)(qint64 total, qint64 done, void *context);

// A stored file of the backup that cannot be read or decrypted (missing, short, or its key
// cannot be unwrapped), as opposed to a failure to write the copy.
class StoredFileError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class BackupManifest : public QObject
{
    Q_OBJECT

public:
    explicit BackupManifest(const QString &folder, QObject *parent = nullptr);
    ~BackupManifest() override;

    static QDir defaultBackupDir();
    QString backupId() const;

    void loadManifestPlist();
    // False for a wrong passcode; throws when the keybag cannot be unlocked with any passcode.
    bool unlock(const QString &passcode);
    // Throws, naming the folder, for a backup indexed by Manifest.db (iOS 10 and later).
    void loadFileTree();
    // Writes beside the destination and renames over it once complete and synced, so that
    // the name never holds a partial copy, also after a power loss. Problems of the stored
    // file throw StoredFileError; a failed write throws the destination and the system's
    // reason (such as a full disk).
    // The size of the copy extractFile makes of the node's file; -1 when the backup folder
    // holds no stored file for it.
    qint64 extractedSize(const BackupFileNode *node) const;
    void extractFile(const BackupFileNode *node, const QString &destination, void *context,
        ExtractProgressFn progress = nullptr) const;
    // Creates `dest` under a fresh name beside `targetPath`, open unbuffered for writing:
    // created exclusively, so that a link there is never written through. Throws the target
    // and the system's reason.
    static void createCopyBeside(QFile &dest, const QString &targetPath);
    // Whether a file name is one that createCopyBeside gives: what a killed copy leaves.
    static bool isUnfinishedCopyName(const QString &fileName);
    // What extractFile writes, into `dest`, a new empty file open for writing unbuffered,
    // with the record's time and the program's permissions; for a writer that puts many
    // copies in place at once. Throws as extractFile, a failed write naming `targetPath`.
    void writeStoredFile(const BackupFileNode *node, QFile &dest, const QString &targetPath,
        void *context, ExtractProgressFn progress = nullptr) const;

    const BackupDeviceInfo &deviceInfo() const { return m_deviceInfo; }
    const QString &displayName() const { return m_displayName; }
    const QDir &backupDir() const { return m_backupDir; }
    const BackupFileNode &root() const { return m_root; }
    const Keybag &keybag() const { return m_keybag; }

    const QList<BackupFileNode *> &cameraRollPhotos() const { return m_cameraRollPhotos; }
    const QList<BackupFileNode *> &cameraRollVideos() const { return m_cameraRollVideos; }
    const QMap<QString, BackupFileNode *> &cameraRollThumbnails() const
    {
        return m_cameraRollThumbnails;
    }
    const QMap<QString, BackupFileNode *> &smsParts() const { return m_smsParts; }
    const QMap<QString, BackupFileNode *> &smsAttachments() const { return m_smsAttachments; }
    const QMap<QString, BackupFileNode *> &smsFilesByDevicePath() const
    {
        return m_smsFilesByDevicePath;
    }
    BackupFileNode *smsDb() const { return m_smsDb; }
    BackupFileNode *addressBookDb() const { return m_addressBookDb; }
    BackupFileNode *addressBookImagesDb() const { return m_addressBookImagesDb; }
    BackupFileNode *notesDb() const { return m_notesDb; }
    BackupFileNode *calendarDb() const { return m_calendarDb; }
    BackupFileNode *calendarExtrasDb() const { return m_calendarExtrasDb; }
    BackupFileNode *recordingsDb() const { return m_recordingsDb; }
    BackupFileNode *voicemailDb() const { return m_voicemailDb; }
    BackupFileNode *bookmarksDb() const { return m_bookmarksDb; }
    BackupFileNode *callHistoryDb() const { return m_callHistoryDb; }
    BackupFileNode *callHistoryStore() const { return m_callHistoryStore; }
    const QMap<QString, BackupFileNode *> &recordings() const { return m_recordings; }
    const QMap<int, BackupFileNode *> &voicemails() const { return m_voicemails; }

private:
    void classify(BackupFileNode *node, const QString &domain, const QString &path);
    void addSmsFileKeys(BackupFileNode *node, const QString &path);
    void clearIndexes();

    BackupDeviceInfo m_deviceInfo;
    QString m_displayName;
    QDir m_backupDir;
    BackupFileNode m_root;
    Keybag m_keybag;
    QList<BackupFileNode *> m_cameraRollPhotos;
    QList<BackupFileNode *> m_cameraRollVideos;
    QMap<QString, BackupFileNode *> m_cameraRollThumbnails;
    QMap<QString, BackupFileNode *> m_smsParts;
    QMap<QString, BackupFileNode *> m_smsAttachments;
    QMap<QString, BackupFileNode *> m_smsFilesByDevicePath;
    BackupFileNode *m_smsDb = nullptr;
    BackupFileNode *m_addressBookDb = nullptr;
    BackupFileNode *m_addressBookImagesDb = nullptr;
    BackupFileNode *m_notesDb = nullptr;
    BackupFileNode *m_calendarDb = nullptr;
    BackupFileNode *m_calendarExtrasDb = nullptr;
    BackupFileNode *m_recordingsDb = nullptr;
    BackupFileNode *m_voicemailDb = nullptr;
    BackupFileNode *m_bookmarksDb = nullptr;
    BackupFileNode *m_callHistoryDb = nullptr;
    BackupFileNode *m_callHistoryStore = nullptr;
    QMap<QString, BackupFileNode *> m_recordings;
    QMap<int, BackupFileNode *> m_voicemails;
};
