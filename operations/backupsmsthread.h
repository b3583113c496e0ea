// The worker that saves a list of messages into a local message database in one
// transaction under the progress dialog; a cancel or failure leaves the database as it was.
#pragma once

#include "operations/exportmessagesdb.h"
#include "records/msgrecords.h"

#include <QDir>
#include <QThread>

class ProgressForm;

class BackupSMSThread : public QThread
{
    Q_OBJECT
public:
    BackupSMSThread(const MsgMessageList &messages, const QDir &folder, const QString &countryCode,
        ProgressForm *form, QObject *parent = nullptr);

protected:
    void run() override;

private:
    MsgMessageList list;
    ProgressForm *form;
    ExportMessagesDb writer;
};
