// The dialog in which the user picks an iTunes backup: the backups of the default backup
// folder, newest first, and any folder added by hand.
#pragma once

#include "shell/winmovable.h"

#include <QDialog>
#include <QSharedPointer>

#include <functional>
#include <memory>

class BackupManifest;
class ItemModelLoadBk;
class Ui_LoadItunesBackupDlg;

class LoadItunesBackupDlg : public QDialog
{
    Q_OBJECT
public:
    // Asks for a folder; an empty text when the user gives none.
    using FolderChooser = std::function<QString()>;

    explicit LoadItunesBackupDlg(QWidget *parent = nullptr);
    ~LoadItunesBackupDlg() override;

    // The chosen backup once the dialog was accepted; null before.
    QSharedPointer<BackupManifest> selectedBackup() const { return m_selectedBackup; }
    ItemModelLoadBk *model() const { return m_model; }
    // Replaces the folder dialog behind the "add" link.
    void setFolderChooser(FolderChooser chooser) { m_chooseFolder = std::move(chooser); }

public slots:
    void btnLoadClicked();
    void btnAddOtherClicked(const QString &link);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void listDefaultBackups();

    std::unique_ptr<Ui_LoadItunesBackupDlg> ui;
    WinMovable m_movable;
    ItemModelLoadBk *m_model;
    QSharedPointer<BackupManifest> m_selectedBackup;
    FolderChooser m_chooseFolder;
};
