#include "passcodedlg.h"

#include "backup/backupmanifest.h"
#include "shell/messagebox.h"

#include "ui_passcodedlg.h"

PasscodeDlg::PasscodeDlg(BackupManifest *backup, QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui_PasscodeDlg>())
    , m_movable(this)
    , m_backup(backup)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet());
    connect(ui->btnOK, &QPushButton::pressed, this, &PasscodeDlg::btnOKPressed);
}

PasscodeDlg::~PasscodeDlg() = default;

void PasscodeDlg::btnOKPressed()
{
    // Blanks belong to the password.
    const QString passcode = ui->txtPasscode->text();
    if (passcode.isEmpty()) {
        showWarning(tr("IDS_PWD_IS_NULL"));
        return;
    }
    bool unlocked = false;
    try {
        unlocked = m_backup->unlock(passcode);
    } catch (const std::exception &e) {
        // A damaged keybag opens with no password; say why instead of "Invalid password."
        showError(QString::fromUtf8(e.what()));
        return;
    }
    if (unlocked) {
        accept();
        return;
    }
    showWarning(tr("IDS_INVALID_PASSWORD"));
    ui->txtPasscode->clear();
}
