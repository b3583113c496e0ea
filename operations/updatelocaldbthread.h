// The start-up worker that converts local databases of the old single-file layout ("mms.db"
// with an "attachments" folder) into local message databases of the current layout.
#pragma once

#include <QDir>
#include <QStringList>
#include <QThread>

class ProgressForm;

class UpdateLocalDbThread : public QThread
{
    Q_OBJECT
public:
    // Works in the program's data folder.
    explicit UpdateLocalDbThread(ProgressForm *form, QObject *parent = nullptr);
    UpdateLocalDbThread(ProgressForm *form, const QDir &dataFolder, QObject *parent = nullptr);
    ~UpdateLocalDbThread() override;

    // The folders that hold an old "mms.db": the sub-folders of "local_databases", then those
    // of "data", in the data folder.
    static QStringList legacyFolders(const QDir &dataFolder);
    // Converts the old database of one folder into the local database in `newFolder`.
    void convertDb(const QDir &oldFolder, const QDir &newFolder);

protected:
    void run() override;

private:
    ProgressForm *form;
    QDir data;
};
