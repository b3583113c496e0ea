#include "loaditunesbackupdlg.h"

#include "backup/backupmanifest.h"
#include "backup/itemmodelloadbk.h"
#include "shell/messagebox.h"

#include "ui_loaditunesbackupdlg.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QResizeEvent>
#include <QtDebug>

namespace {

void reportLoadError(const QString &path, const std::exception &e)
{
    const QString text = QString::fromUtf8(e.what());
    qWarning() << text;
    showError(QStringLiteral("load %1 error. %2").arg(path, text));
}

} // namespace

LoadItunesBackupDlg::LoadItunesBackupDlg(QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui_LoadItunesBackupDlg>())
    , m_movable(this)
    , m_model(new ItemModelLoadBk(this))
    , m_chooseFolder([] {
        return QFileDialog::getExistingDirectory(
            nullptr, QString(), QDir::homePath(), QFileDialog::ShowDirsOnly);
    })
{
    ui->setupUi(this);
    connect(ui->btnLoad, &QPushButton::pressed, this, &LoadItunesBackupDlg::btnLoadClicked);
    connect(ui->listBackups, &QTreeView::doubleClicked, this, &LoadItunesBackupDlg::btnLoadClicked);
    connect(ui->lbAddOther, &QLabel::linkActivated, this, &LoadItunesBackupDlg::btnAddOtherClicked);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet());
    ui->listBackups->setModel(m_model);
    listDefaultBackups();
    ui->listBackups->setCurrentIndex(QModelIndex());
}

LoadItunesBackupDlg::~LoadItunesBackupDlg() = default;

void LoadItunesBackupDlg::listDefaultBackups()
{
    const QDir dir = BackupManifest::defaultBackupDir();
    const QFileInfoList folders
        = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Time | QDir::Reversed);
    for (const QFileInfo &folder : folders) {
        const QDir backupDir(folder.absoluteFilePath());
        if (!backupDir.exists(QStringLiteral("Manifest.mbdb"))
            || !backupDir.exists(QStringLiteral("Manifest.plist")))
            continue;
        // One unreadable backup is reported and left out; the others are still listed.
        try {
            QSharedPointer<BackupManifest> backup(new BackupManifest(folder.absoluteFilePath()));
            backup->loadManifestPlist();
            m_model->addBackup(backup);
        } catch (const std::exception &e) {
            reportLoadError(folder.absoluteFilePath(), e);
        }
    }
}

void LoadItunesBackupDlg::resizeEvent(QResizeEvent *event)
{
    const int w = event->size().width() - 80;
    QHeaderView *header = ui->listBackups->header();
    header->resizeSection(0, static_cast<int>(w * 0.4));
    header->resizeSection(1, static_cast<int>(w * 0.25));
    header->resizeSection(2, static_cast<int>(w * 0.35));
}

void LoadItunesBackupDlg::btnLoadClicked()
{
    const QSharedPointer<BackupManifest> backup
        = ItemModelLoadBk::backupAt(ui->listBackups->currentIndex());
    if (!backup) {
        showWarning(tr("IDS_PLEASE_SELECT_ONE_ITUNES_BACKUP"));
        return;
    }
    m_selectedBackup = backup;
    accept();
}

void LoadItunesBackupDlg::btnAddOtherClicked(const QString &)
{
    const QString path = m_chooseFolder();
    if (path.isEmpty())
        return;
    QSharedPointer<BackupManifest> backup(new BackupManifest(path));
    const QString id = backup->backupId();
    for (const QSharedPointer<BackupManifest> &listed : m_model->backups()) {
        if (listed->backupId() == id) {
            showWarning(tr("IDS_LOAD_BK_EXISTS"));
            return;
        }
    }
    try {
        backup->loadManifestPlist();
        ItemModelLoadBk::_BKItemNode *node = m_model->addBackup(backup);
        ui->listBackups->setCurrentIndex(m_model->indexOfNode(node));
    } catch (const std::exception &e) {
        reportLoadError(path, e);
    }
}
