#include "app/windowservices.h"

#include "backup/backupmanifest.h"
#include "backup/loaditunesbackupdlg.h"
#include "backup/passcodedlg.h"
#include "operations/mmsprinter.h"
#include "shell/datafolder.h"
#include "view/aboutusform.h"
#include "view/countryselform.h"
#include "view/localdbselform.h"

#include <QCursor>
#include <QFileDialog>
#include <QMenu>

WindowServices WindowServices::defaults()
{
    WindowServices s;
    s.saveFileName = [](QWidget *parent, const QString &caption, const QString &proposed,
                         const QString &filters, QString *filter) {
        return QFileDialog::getSaveFileName(parent, caption, proposed, filters, filter);
    };
    s.existingFolder = [](QWidget *parent, const QString &caption, const QString &start) {
        return QFileDialog::getExistingDirectory(parent, caption, start, QFileDialog::ShowDirsOnly);
    };
    s.localDbName = [](QWidget *parent, const QStringList &names, const QString &proposed) {
        LocalDbSelForm form(names, proposed, parent);
        return form.getDbName();
    };
    s.chooseBackup = [](QWidget *parent) {
        LoadItunesBackupDlg dialog(parent);
        if (dialog.exec() != QDialog::Accepted)
            return QSharedPointer<BackupManifest>();
        return dialog.selectedBackup();
    };
    s.unlockBackup = [](QWidget *parent, BackupManifest *backup) {
        PasscodeDlg dialog(backup, parent);
        return dialog.exec() == QDialog::Accepted;
    };
    s.chooseCountry = [](QWidget *parent, QString *code) {
        CountrySelForm form(parent);
        if (form.exec() != QDialog::Accepted)
            return false;
        *code = form.chosenMmc;
        return true;
    };
    s.chooseDevice = [](QWidget *parent, const QString &label, const QList<DataSourceItem> &items) {
        DataSourceSelForm form(parent);
        return form.selectDataSource(label, items);
    };
    s.print = [](QWidget *parent, const MsgMessageList &messages) {
        MMSPrinter printer(parent);
        printer.print(messages);
    };
    s.about = [](QWidget *parent) {
        AboutUsForm form(parent);
        form.exec();
    };
    s.execMenu = [](QMenu &menu) { menu.exec(QCursor::pos()); };
    s.openUrl = [](const QString &url) { return ::openUrl(url); };
    s.openFolder = [](const QString &folder) { return openInExplorer(folder); };
    s.now = [] { return QDateTime::currentDateTime(); };
    return s;
}
