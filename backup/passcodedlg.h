// The dialog that asks for the password of an encrypted backup until it unlocks or the user
// gives up; accepted, it leaves the backup unlocked.
#pragma once

#include "shell/winmovable.h"

#include <QDialog>

#include <memory>

class BackupManifest;
class Ui_PasscodeDlg;

class PasscodeDlg : public QDialog
{
    Q_OBJECT
public:
    explicit PasscodeDlg(BackupManifest *backup, QWidget *parent = nullptr);
    ~PasscodeDlg() override;

public slots:
    void btnOKPressed();

private:
    std::unique_ptr<Ui_PasscodeDlg> ui;
    WinMovable m_movable;
    BackupManifest *m_backup;
};
