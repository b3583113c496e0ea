#include "backup/backupmanifest.h"
#include "backup/itemmodelloadbk.h"
#include "backup/loaditunesbackupdlg.h"
#include "backup/passcodedlg.h"
#include "shell/messagebox.h"
#include "support/backupwriter.h"

#include <QAbstractItemModelTester>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTranslator>
#include <QTreeView>
#include <QtTest>

namespace {

QDateTime day(int d)
{
    return QDateTime(QDate(2014, 5, d), QTime(10, 0), Qt::UTC);
}

void press(QWidget &dialog, const char *buttonName)
{
    auto *button = dialog.findChild<QPushButton *>(QLatin1String(buttonName));
    QVERIFY(button);
    QTest::mousePress(button, Qt::LeftButton);
    QTest::mouseRelease(button, Qt::LeftButton);
}

QTreeView *listOf(LoadItunesBackupDlg &dlg)
{
    return dlg.findChild<QTreeView *>(QStringLiteral("listBackups"));
}

QStringList column(const QAbstractItemModel *model, int col)
{
    QStringList texts;
    for (int row = 0; row < model->rowCount(); ++row)
        texts.append(model->index(row, col).data().toString());
    return texts;
}

} // namespace

class tst_BackupDialogs : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    int m_counter = 0;
    QStringList m_boxes;

    // Every test gets a home folder of its own, and with it an empty default backup folder.
    QString backupRoot() const
    {
        return QDir::home().filePath(
            QStringLiteral("Application Data/Apple Computer/MobileSync/Backup"));
    }

    QString writeBackup(const QString &folder, const QDateTime &date,
        const QString &deviceName = QStringLiteral("Phone"), const QByteArray &password = {})
    {
        BackupWriter w(folder);
        w.setDevice(QStringLiteral("udid%1").arg(++m_counter), deviceName);
        w.setManifestDate(date);
        if (!password.isNull())
            w.setEncrypted(password, 3);
        w.addFileWithFolders("HomeDomain", "Library/SMS/sms.db", "db");
        w.write();
        return QDir(folder).absolutePath();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        auto *translator = new QTranslator(this);
        QVERIFY(translator->load(QStringLiteral(":/en.qm")));
        QCoreApplication::installTranslator(translator);
    }

    void init()
    {
        const QString home = m_tmp.filePath(QStringLiteral("home%1").arg(++m_counter));
        QVERIFY(QDir().mkpath(home));
        qputenv("HOME", home.toUtf8());
        m_boxes.clear();
        setMessageBoxHook([this](QMessageBox &box) {
            m_boxes.append(box.text());
            return QMessageBox::Ok;
        });
    }

    void cleanup() { setMessageBoxHook(MessageBoxHook()); }

    void listsDefaultBackupsNewestFirstAndReportsABrokenOne()
    {
        const QDir root(backupRoot());
        writeBackup(root.filePath("b"), day(2), "Middle");
        writeBackup(root.filePath("a"), day(3), "Newest");
        writeBackup(root.filePath("c"), day(1), "Oldest");
        const QString broken = writeBackup(root.filePath("broken"), day(4));
        QFile plist(broken + "/Manifest.plist");
        QVERIFY(plist.open(QIODevice::WriteOnly | QIODevice::Truncate));
        plist.write("not a property list");
        plist.close();
        QVERIFY(QFile::remove(writeBackup(root.filePath("no-index"), day(5)) + "/Manifest.mbdb"));

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("broken/Manifest.plist is damaged"));
        LoadItunesBackupDlg dlg;
        QAbstractItemModel *model = listOf(dlg)->model();
        QAbstractItemModelTester tester(model);
        QCOMPARE(column(model, 0), QStringList({ "Newest-a", "Middle-b", "Oldest-c" }));
        QCOMPARE(column(model, 1).first(),
            QLocale::system().toString(day(3).toLocalTime(), QLocale::ShortFormat));
        QCOMPARE(column(model, 2).first(), root.absoluteFilePath("a"));
        QCOMPARE(model->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Backup Date"));
        QCOMPARE(model->index(0, 0).data(Qt::SizeHintRole).toSize(), QSize(0, 25));
        QVERIFY(!model->index(0, 0).data(Qt::DecorationRole).value<QPixmap>().isNull());
        QCOMPARE(model->index(0, 2).data(Qt::BackgroundRole).value<QBrush>().color(),
            QColor(250, 250, 250));
        QCOMPARE(model->index(1, 2).data(Qt::BackgroundRole).value<QBrush>().color(),
            QColor(255, 255, 255));
        QCOMPARE(m_boxes.size(), 1);
        QVERIFY2(
            m_boxes.first().contains("load " + broken + " error."), qPrintable(m_boxes.first()));
        QVERIFY(!listOf(dlg)->currentIndex().isValid());
    }

    void missingDefaultFolderGivesEmptyListSilently()
    {
        LoadItunesBackupDlg dlg;
        QCOMPARE(listOf(dlg)->model()->rowCount(), 0);
        QVERIFY(m_boxes.isEmpty());
    }

    void backupsOfOneDateKeepTheirOrder()
    {
        ItemModelLoadBk model;
        const QString names[] = { "first", "second", "older", "newer" };
        const QDateTime dates[] = { day(2), day(2), day(1), day(3) };
        for (int i = 0; i < 4; ++i) {
            QSharedPointer<BackupManifest> b(new BackupManifest(writeBackup(
                m_tmp.filePath(names[i] + QString::number(m_counter)), dates[i], names[i])));
            b->loadManifestPlist();
            model.addBackup(b);
        }
        const QStringList listed = column(&model, 0);
        QCOMPARE(listed.size(), 4);
        QVERIFY(listed[0].startsWith("newer"));
        QVERIFY(listed[1].startsWith("first"));
        QVERIFY(listed[2].startsWith("second"));
        QVERIFY(listed[3].startsWith("older"));
    }

    void addingBackupsByHand_data()
    {
        QTest::addColumn<QString>("choice"); // "listed", "other", "no backup", "none"
        QTest::addColumn<int>("rows");
        QTest::addColumn<QString>("box");
        QTest::newRow("already listed")
            << "listed" << 1 << "This iTunes Backup has been listed on the left.";
        QTest::newRow("already listed, trailing slash")
            << "listed/" << 1 << "This iTunes Backup has been listed on the left.";
        QTest::newRow("another backup") << "other" << 2 << "";
        QTest::newRow("no backup") << "no backup" << 1 << "load %1 error.";
        QTest::newRow("dialog cancelled") << "none" << 1 << "";
    }
    void addingBackupsByHand()
    {
        QFETCH(QString, choice);
        QFETCH(int, rows);
        QFETCH(QString, box);
        const QString listed = writeBackup(QDir(backupRoot()).filePath("listed"), day(1));
        const QString other = writeBackup(m_tmp.filePath("elsewhere%1").arg(m_counter), day(9));
        const QString empty = m_tmp.filePath("empty%1").arg(m_counter);
        QVERIFY(QDir().mkpath(empty));
        QString chosen;
        if (choice.startsWith("listed"))
            chosen = listed + choice.mid(6);
        else if (choice == "other")
            chosen = other;
        else if (choice == "no backup")
            chosen = empty;

        LoadItunesBackupDlg dlg;
        dlg.setFolderChooser([chosen] { return chosen; });
        emit dlg.findChild<QLabel *>("lbAddOther")->linkActivated("#");
        QCOMPARE(listOf(dlg)->model()->rowCount(), rows);
        if (box.isEmpty()) {
            QVERIFY(m_boxes.isEmpty());
        } else {
            QCOMPARE(m_boxes.size(), 1);
            const QString expected = box.contains("%1") ? box.arg(empty) : box;
            QVERIFY2(m_boxes.first().contains(expected), qPrintable(m_boxes.first()));
        }
        if (choice == "other") {
            // The new row is current, so Load takes it.
            QCOMPARE(listOf(dlg)->currentIndex().row(), 0);
            press(dlg, "btnLoad");
            QCOMPARE(dlg.result(), int(QDialog::Accepted));
            QCOMPARE(dlg.selectedBackup()->backupDir().absolutePath(), other);
        }
    }

    void loadNeedsARowAndDoubleClickLoads()
    {
        writeBackup(QDir(backupRoot()).filePath("one"), day(1), "One");
        const QString two = writeBackup(QDir(backupRoot()).filePath("two"), day(2), "Two");
        LoadItunesBackupDlg dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        press(dlg, "btnLoad");
        QCOMPARE(m_boxes, QStringList({ "Need to select an iTunes Backup to continue." }));
        QVERIFY(dlg.isVisible());
        QVERIFY(!dlg.selectedBackup());

        QTreeView *list = listOf(dlg);
        const QRect rect = list->visualRect(list->model()->index(0, 1));
        // A widget's double-click event comes after the press of the same click.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.selectedBackup()->backupDir().absolutePath(), two);
    }

    void chooserShowsEnglishTextsAndSizesColumns()
    {
        LoadItunesBackupDlg dlg;
        QCOMPARE(dlg.findChild<QLabel *>("lbTitle")->text(),
            QStringLiteral("Please select an iTunes Backup to load."));
        QVERIFY(dlg.findChild<QLabel *>("lbAddOther")
                    ->text()
                    .startsWith("Can't find your iTunes Backup on the list?"));
        QCOMPARE(dlg.findChild<QPushButton *>("btnLoad")->text(), QStringLiteral("Load"));
        QVERIFY(dlg.windowFlags() & Qt::FramelessWindowHint);
        dlg.show();
        dlg.resize(900, 400);
        QCoreApplication::processEvents();
        // The layout may widen the dialog past what was asked for: the new width counts.
        const int w = dlg.width() - 80;
        QHeaderView *header = listOf(dlg)->header();
        QCOMPARE(header->sectionSize(0), int(w * 0.4));
        QCOMPARE(header->sectionSize(1), int(w * 0.25));
    }

    void passwordDialog_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("fieldAfter");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("empty") << ""
                               << "Password is required."
                               << "" << false;
        QTest::newRow("wrong") << "secret"
                               << "Invalid password."
                               << "" << false;
        QTest::newRow("blanks belong to it") << " secret "
                                             << ""
                                             << "" << true;
    }
    void passwordDialog()
    {
        QFETCH(QString, typed);
        QFETCH(QString, box);
        QFETCH(QString, fieldAfter);
        QFETCH(bool, accepted);
        BackupManifest backup(
            writeBackup(m_tmp.filePath("enc%1").arg(m_counter), day(1), "P", " secret "));
        backup.loadManifestPlist();
        PasscodeDlg dlg(&backup);
        QCOMPARE(dlg.findChild<QLineEdit *>("txtPasscode")->placeholderText(),
            QStringLiteral("Enter password"));
        dlg.show();
        auto *field = dlg.findChild<QLineEdit *>("txtPasscode");
        QCOMPARE(field->echoMode(), QLineEdit::Password);
        field->setText(typed);
        press(dlg, "btnOK");
        QCOMPARE(m_boxes, box.isEmpty() ? QStringList() : QStringList { box });
        QCOMPARE(dlg.isVisible(), !accepted);
        if (!accepted) {
            QCOMPARE(field->text(), fieldAfter);
            press(dlg, "btnCancel");
            QCOMPARE(dlg.result(), int(QDialog::Rejected));
            return;
        }
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        int unlocked = 0;
        for (const KeybagTags &cls : backup.keybag().classes)
            unlocked += cls.value("KEY").size() == 32;
        QVERIFY(unlocked > 0);
    }
};

QTEST_MAIN(tst_BackupDialogs)
#include "tst_backupdialogs.moc"
