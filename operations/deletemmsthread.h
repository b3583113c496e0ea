// The worker that deletes a list of messages from a local message database in one
// transaction and then removes the attachment files that no message left in it uses.
// It holds the database's writer lock throughout, so no save or other delete runs beside it.
#pragma once

#include "records/msgrecords.h"

#include <QDir>
#include <QStringList>
#include <QThread>

#include <functional>

class IOS6MessageDb;
class ProgressForm;

class DeleteMMSThread : public QThread
{
    Q_OBJECT
public:
    // The folder and the list belong to the caller, which keeps them until the thread ends.
    DeleteMMSThread(QDir *databaseFolder, MsgMessageList *messages, ProgressForm *form,
        QObject *parent = nullptr);
    ~DeleteMMSThread() override;

    // Called before each message with its position from 1; tests cancel a run there.
    void setItemHook(std::function<void(int)> hook) { itemHook = std::move(hook); }

protected:
    void run() override;

private:
    QStringList unusedAttachmentFiles(IOS6MessageDb &db) const;

    QDir *databaseFolder;
    MsgMessageList *messages;
    ProgressForm *form;
    std::function<void(int)> itemHook;
};
