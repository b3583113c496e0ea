// The worker that copies the attachment files of a list of messages into a fresh folder,
// under readable unique names, with each copy's times set to its message's date. A copy that
// fails (a full disk, an unreadable file) is reported as an error naming the first failure;
// the copies made stay. Files not found are counted, and the first named, in the success text.
#pragma once

#include "records/msgrecords.h"

#include <QDir>
#include <QSet>
#include <QString>
#include <QThread>

#include <functional>

class ProgressForm;

class AttachmentExtractThread : public QThread
{
    Q_OBJECT
public:
    // The run writes into `targetFolder`, or, when something is there already (an earlier
    // run in the same second), into the first free "<name>(n)" beside it.
    AttachmentExtractThread(ProgressForm *form, const MsgMessageList &messages,
        const QString &targetFolder, QObject *parent = nullptr);
    ~AttachmentExtractThread() override;

    // The folder this run made, empty before the run or when it could not make one.
    QString outputFolder() const { return output; }
    // Files really copied.
    int copiedCount() const { return copied; }

    // Called before each message with its position from 1; tests cancel a run there.
    void setItemHook(std::function<void(int)> hook) { itemHook = std::move(hook); }

protected:
    void run() override;

private:
    bool makeOutputFolder();
    bool extract(const _MsgMessage &message, const _MsgAttachment &attachment);

    ProgressForm *form;
    std::function<void(int)> itemHook;
    MsgMessageList messages;
    QDir targetFolder;
    QString output;
    int copied = 0;
    int failures = 0;
    QString firstFailure;
    int missing = 0;
    QString firstMissing;
    QSet<QString> extracted; // cleaned source paths already copied or found missing
};
