#include "shell/messagebox.h"
#include "view/aboutusform.h"
#include "view/datasourceselform.h"
#include "view/localdbselform.h"

#include <QComboBox>
#include <QGraphicsView>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

void press(QDialog &dialog, const char *buttonName)
{
    auto *button = dialog.findChild<QPushButton *>(QLatin1String(buttonName));
    QVERIFY(button);
    QTest::mousePress(button, Qt::LeftButton);
    QTest::mouseRelease(button, Qt::LeftButton);
}

// Runs the steps once the dialog's own event loop is running; a dialog still open after
// them is rejected so that no test can block.
void whileRunning(QDialog &dialog, std::function<void()> steps)
{
    QTimer::singleShot(0, &dialog, [&dialog, steps] {
        steps();
        if (dialog.isVisible())
            dialog.reject();
    });
}

} // namespace

class TestDialogs : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void checksDatabaseNames_data();
    void checksDatabaseNames();
    void localDbFormShowsDefaultNameWithoutSelection();
    void localDbFormReturnsTypedNameWithBlanks();
    void localDbFormRefusesBadNamesAndStaysOpen_data();
    void localDbFormRefusesBadNamesAndStaysOpen();
    void localDbFormCancelGivesEmptyName();
    void localDbFormLabelShowsItsWholeText();

    void dataSourcePreselectsSingleItem();
    void dataSourceNeedsChoiceAmongSeveral();
    void dataSourceCancelGivesZero();

    void aboutShowsProductAndPicture();
    void formsShowEnglishTexts_data();
    void formsShowEnglishTexts();

private:
    QStringList m_warnings;
};

void TestDialogs::initTestCase()
{
    auto *translator = new QTranslator(this);
    QVERIFY(translator->load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(translator);
}

void TestDialogs::init()
{
    m_warnings.clear();
    setMessageBoxHook([this](QMessageBox &box) {
        m_warnings.append(box.text());
        return QMessageBox::Ok;
    });
}

void TestDialogs::cleanup()
{
    setMessageBoxHook(MessageBoxHook());
}

void TestDialogs::checksDatabaseNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("expected");
    QTest::newRow("plain") << QStringLiteral("Family") << int(LocalDbSelForm::NameOk);
    QTest::newRow("blanks around") << QStringLiteral("  My phone ") << int(LocalDbSelForm::NameOk);
    QTest::newRow("dots inside") << QStringLiteral("v1.2") << int(LocalDbSelForm::NameOk);
    QTest::newRow("three dots") << QStringLiteral("...") << int(LocalDbSelForm::NameOk);
    QTest::newRow("empty") << QString() << int(LocalDbSelForm::NameEmpty);
    QTest::newRow("blanks") << QStringLiteral("   ") << int(LocalDbSelForm::NameEmpty);
    QTest::newRow("tab") << QStringLiteral("\t") << int(LocalDbSelForm::NameEmpty);
    QTest::newRow("dot") << QStringLiteral(".") << int(LocalDbSelForm::NameInvalid);
    QTest::newRow("dot dot") << QStringLiteral("..") << int(LocalDbSelForm::NameInvalid);
    QTest::newRow("dot dot blanks") << QStringLiteral(" .. ") << int(LocalDbSelForm::NameInvalid);
    QTest::newRow("slash") << QStringLiteral("a/b") << int(LocalDbSelForm::NameInvalid);
    QTest::newRow("parent path") << QStringLiteral("../x") << int(LocalDbSelForm::NameInvalid);
    QTest::newRow("backslash") << QStringLiteral("a\\b") << int(LocalDbSelForm::NameInvalid);
    const QString forbidden = QStringLiteral(":*?\"<>|");
    for (const QChar c : forbidden)
        QTest::newRow(qPrintable(QStringLiteral("char %1").arg(c)))
            << (QStringLiteral("name") + c) << int(LocalDbSelForm::NameInvalid);
}

void TestDialogs::checksDatabaseNames()
{
    QFETCH(QString, name);
    QFETCH(int, expected);
    QCOMPARE(int(LocalDbSelForm::checkName(name)), expected);
}

void TestDialogs::localDbFormShowsDefaultNameWithoutSelection()
{
    LocalDbSelForm form(
        { QStringLiteral("Alpha"), QStringLiteral("Beta") }, QStringLiteral("iPhone of Jo"));
    auto *combo = form.findChild<QComboBox *>(QStringLiteral("cbLocalDbNames"));
    QVERIFY(combo);
    QVERIFY(combo->isEditable());
    QCOMPARE(combo->count(), 3);
    QCOMPARE(combo->itemText(0), QString());
    QCOMPARE(combo->itemText(2), QStringLiteral("Beta"));
    QCOMPARE(combo->currentIndex(), -1);
    QCOMPARE(combo->currentText(), QStringLiteral("iPhone of Jo"));
    QCOMPARE(form.size(), QSize(423, 156));
    QVERIFY(form.windowFlags() & Qt::FramelessWindowHint);
}

void TestDialogs::localDbFormReturnsTypedNameWithBlanks()
{
    LocalDbSelForm form({ QStringLiteral("Alpha") }, QString());
    auto *combo = form.findChild<QComboBox *>(QStringLiteral("cbLocalDbNames"));
    QVERIFY(combo);
    whileRunning(form, [&] {
        combo->setEditText(QStringLiteral(" New db "));
        press(form, "btnOK");
    });
    QCOMPARE(form.getDbName(), QStringLiteral(" New db "));
    QVERIFY(m_warnings.isEmpty());
}

void TestDialogs::localDbFormRefusesBadNamesAndStaysOpen_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("item");
    QTest::addColumn<QString>("warning");
    const QString empty = QStringLiteral("Select one Database or enter a new Database name");
    const QString invalid
        = QStringLiteral("Invalid Local Database name(can't contain \\ / : * ? \" < > |).");
    QTest::newRow("blanks") << QStringLiteral("   ") << -1 << empty;
    QTest::newRow("empty first item") << QString() << 0 << empty;
    QTest::newRow("dot dot") << QStringLiteral("..") << -1 << invalid;
    QTest::newRow("separator") << QStringLiteral("a/b") << -1 << invalid;
}

void TestDialogs::localDbFormRefusesBadNamesAndStaysOpen()
{
    QFETCH(QString, name);
    QFETCH(int, item);
    QFETCH(QString, warning);
    LocalDbSelForm form({ QStringLiteral("Alpha") }, QString());
    auto *combo = form.findChild<QComboBox *>(QStringLiteral("cbLocalDbNames"));
    QVERIFY(combo);
    bool stayedOpen = false;
    whileRunning(form, [&] {
        if (item >= 0)
            combo->setCurrentIndex(item);
        else
            combo->setEditText(name);
        press(form, "btnOK");
        stayedOpen = form.isVisible();
    });
    QCOMPARE(form.getDbName(), QString());
    QVERIFY(stayedOpen);
    QCOMPARE(m_warnings, QStringList { warning });
}

void TestDialogs::localDbFormCancelGivesEmptyName()
{
    LocalDbSelForm form({ QStringLiteral("Alpha") }, QStringLiteral("Default"));
    whileRunning(form, [&] { press(form, "btnClose"); });
    QCOMPARE(form.getDbName(), QString());
    QVERIFY(m_warnings.isEmpty());
}

void TestDialogs::localDbFormLabelShowsItsWholeText()
{
    LocalDbSelForm form({ QStringLiteral("Alpha") }, QString());
    form.show(); // polished: the style sheet's fonts apply
    auto *label = form.findChild<QLabel *>(QStringLiteral("label"));
    QVERIFY(label);
    const QSize needed = label->wordWrap()
        ? QSize(label->width(), label->heightForWidth(label->width()))
        : label->sizeHint();
    QVERIFY2(needed.width() <= label->width() && needed.height() <= label->height(),
        qPrintable(QStringLiteral("needs %1x%2").arg(needed.width()).arg(needed.height())));
    const QRect combo = form.findChild<QComboBox *>(QStringLiteral("cbLocalDbNames"))->geometry();
    QVERIFY(label->geometry().bottom() < combo.top());
}

void TestDialogs::dataSourcePreselectsSingleItem()
{
    DataSourceSelForm form;
    whileRunning(form, [&] { press(form, "btnOK"); });
    const qint64 id = form.selectDataSource(QStringLiteral("Pick"),
        { { QStringLiteral(":res/contact.png"), QStringLiteral("Jo"), 42 } });
    QCOMPARE(id, qint64(42));
    QVERIFY(m_warnings.isEmpty());
    QCOMPARE(
        form.findChild<QLabel *>(QStringLiteral("lbSelDevice"))->text(), QStringLiteral("Pick"));
}

void TestDialogs::dataSourceNeedsChoiceAmongSeveral()
{
    DataSourceSelForm form;
    auto *combo = form.findChild<QComboBox *>(QStringLiteral("cbDevice"));
    QVERIFY(combo);
    bool noneSelected = false;
    bool stayedOpen = false;
    whileRunning(form, [&] {
        noneSelected = combo->currentIndex() == -1;
        press(form, "btnOK");
        stayedOpen = form.isVisible();
        combo->setCurrentIndex(1);
        press(form, "btnOK");
    });
    const qint64 big = Q_INT64_C(0x7ffe12345678);
    const qint64 id = form.selectDataSource(QStringLiteral("Pick"),
        { { QString(), QStringLiteral("A"), 1 }, { QString(), QStringLiteral("B"), big } });
    QVERIFY(noneSelected);
    QVERIFY(stayedOpen);
    QCOMPARE(m_warnings, QStringList { QStringLiteral("Need to select a Device to continue.") });
    QCOMPARE(id, big);
}

void TestDialogs::dataSourceCancelGivesZero()
{
    DataSourceSelForm form;
    whileRunning(form, [&] { press(form, "btnClose"); });
    QCOMPARE(
        form.selectDataSource(QStringLiteral("Pick"), { { QString(), QStringLiteral("A"), 7 } }),
        qint64(0));
}

void TestDialogs::aboutShowsProductAndPicture()
{
    AboutUsForm form;
    auto *product = form.findChild<QLabel *>(QStringLiteral("lbProduct"));
    QVERIFY(product);
    QCOMPARE(product->text(), QStringLiteral("Quillmarrow Threadkeeper v3.2.11"));
    auto *picture = form.findChild<QGraphicsView *>(QStringLiteral("picApp"));
    QVERIFY(picture && picture->scene());
    QCOMPARE(picture->scene()->items().size(), 1);
    QCOMPARE(qRound(picture->scene()->itemsBoundingRect().height()), 64);
    whileRunning(form, [&] { press(form, "btnOK"); });
    QCOMPARE(form.exec(), int(QDialog::Accepted));
}

void TestDialogs::formsShowEnglishTexts_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("widget");
    QTest::addColumn<QString>("text");

    const QString localDb = QStringLiteral("LocalDbSelForm");
    QTest::newRow("local db title")
        << localDb << QString() << QStringLiteral("Select one Database for backup");
    QTest::newRow("local db label")
        << localDb << QStringLiteral("label")
        << QStringLiteral("Select current database to merge or enter a new database name:");
    QTest::newRow("local db tip") << localDb << QStringLiteral("cbLocalDbNames")
                                  << QStringLiteral("Selecting current Database will merge "
                                                    "messages;entering new DB name will create a "
                                                    "new Database.");
    QTest::newRow("local db ok") << localDb << QStringLiteral("btnOK") << QStringLiteral("Confirm");
    QTest::newRow("local db close")
        << localDb << QStringLiteral("btnClose") << QStringLiteral("Cancel");

    const QString dataSource = QStringLiteral("DataSourceSelForm");
    QTest::newRow("data source title") << dataSource << QString() << QStringLiteral("Dialog");
    QTest::newRow("data source label")
        << dataSource << QStringLiteral("lbSelDevice") << QStringLiteral("Please select a Device.");
    QTest::newRow("data source ok")
        << dataSource << QStringLiteral("btnOK") << QStringLiteral("Confirm");
    QTest::newRow("data source close")
        << dataSource << QStringLiteral("btnClose") << QStringLiteral("Cancel");

    const QString about = QStringLiteral("AboutUsForm");
    QTest::newRow("about title") << about << QStringLiteral("lbTitle") << QStringLiteral("About");
    QTest::newRow("about ok") << about << QStringLiteral("btnOK") << QStringLiteral("OK");
}

void TestDialogs::formsShowEnglishTexts()
{
    QFETCH(QString, form);
    QFETCH(QString, widget);
    QFETCH(QString, text);

    std::unique_ptr<QDialog> dialog;
    if (form == QLatin1String("LocalDbSelForm"))
        dialog = std::make_unique<LocalDbSelForm>(QStringList(), QString());
    else if (form == QLatin1String("DataSourceSelForm"))
        dialog = std::make_unique<DataSourceSelForm>();
    else
        dialog = std::make_unique<AboutUsForm>();
    QCOMPARE(dialog->objectName(), form);
    if (widget.isEmpty()) {
        QCOMPARE(dialog->windowTitle(), text);
        return;
    }
    QWidget *child = dialog->findChild<QWidget *>(widget);
    QVERIFY(child);
    if (auto *button = qobject_cast<QPushButton *>(child))
        QCOMPARE(button->text(), text);
    else if (auto *label = qobject_cast<QLabel *>(child))
        QCOMPARE(label->text(), text);
    else
        QCOMPARE(child->toolTip(), text);
}

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
