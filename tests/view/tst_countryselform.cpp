#include "shell/datafolder.h"
#include "shell/messagebox.h"
#include "view/countryselform.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

namespace {

QStringList itemTexts(const QListWidget *list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts.append(list->item(i)->text());
    return texts;
}

QListWidgetItem *findItem(QListWidget *list, const QString &text)
{
    const QList<QListWidgetItem *> found = list->findItems(text, Qt::MatchExactly);
    return found.isEmpty() ? nullptr : found.first();
}

} // namespace

class TestCountrySelForm : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void listsEveryCountryByName();
    void filtersByKeyword_data();
    void filtersByKeyword();
    void okWithoutSelectionWarnsAndStays();
    void answeringNoKeepsDialogAndSelection();
    void confirmedChoiceGivesMobileCountryCode();
    void cannotBeCancelledWhenCountriesLoaded();
    void closableWhenTableBroken();

private:
    QTemporaryDir m_home;
    QStringList m_boxes;
    QMessageBox::StandardButton m_answer = QMessageBox::Yes;
};

void TestCountrySelForm::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    auto *translator = new QTranslator(this);
    QVERIFY(translator->load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(translator);
}

void TestCountrySelForm::init()
{
    m_boxes.clear();
    m_answer = QMessageBox::Yes;
    setMessageBoxHook([this](QMessageBox &box) {
        m_boxes.append(box.text());
        return m_answer;
    });
}

void TestCountrySelForm::cleanup()
{
    setMessageBoxHook(MessageBoxHook());
}

void TestCountrySelForm::listsEveryCountryByName()
{
    CountrySelForm form;
    auto *list = form.findChild<QListWidget *>(QStringLiteral("ltCountries"));
    QVERIFY(list);
    QVERIFY(form.countriesLoaded());
    QVERIFY(m_boxes.isEmpty());
    const QStringList texts = itemTexts(list);
    QVERIFY(texts.size() > 150);
    QVERIFY(texts.contains(QStringLiteral("United Kingdom (+44)")));
    QVERIFY(texts.indexOf(QStringLiteral("France (+33)"))
        < texts.indexOf(QStringLiteral("United Kingdom (+44)")));
    // Only the first of several mobile country codes.
    QCOMPARE(findItem(list, QStringLiteral("United Kingdom (+44)"))->data(Qt::UserRole).toString(),
        QStringLiteral("234"));
}

void TestCountrySelForm::filtersByKeyword_data()
{
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<bool>("keepsUk");
    QTest::addColumn<bool>("keepsFrance");

    QTest::newRow("part of the name") << QStringLiteral("king") << true << false;
    QTest::newRow("any case") << QStringLiteral("KINGDOM") << true << false;
    QTest::newRow("calling code") << QStringLiteral("+44") << true << false;
    QTest::newRow("empty shows all") << QString() << true << true;
    QTest::newRow("no match") << QStringLiteral("zzzz") << false << false;
}

void TestCountrySelForm::filtersByKeyword()
{
    QFETCH(QString, keyword);
    QFETCH(bool, keepsUk);
    QFETCH(bool, keepsFrance);

    CountrySelForm form;
    auto *list = form.findChild<QListWidget *>(QStringLiteral("ltCountries"));
    auto *edit = form.findChild<QLineEdit *>(QStringLiteral("txtKW"));
    QVERIFY(list && edit);
    const int all = list->count();
    edit->setText(QStringLiteral("x"));
    edit->setText(keyword);
    const QStringList texts = itemTexts(list);
    QCOMPARE(texts.contains(QStringLiteral("United Kingdom (+44)")), keepsUk);
    QCOMPARE(texts.contains(QStringLiteral("France (+33)")), keepsFrance);
    for (const QString &text : texts)
        QVERIFY(text.contains(keyword, Qt::CaseInsensitive));
    if (keyword.isEmpty())
        QCOMPARE(texts.size(), all);
    if (keepsUk) {
        QCOMPARE(
            findItem(list, QStringLiteral("United Kingdom (+44)"))->data(Qt::UserRole).toString(),
            QStringLiteral("234"));
    }
}

void TestCountrySelForm::okWithoutSelectionWarnsAndStays()
{
    CountrySelForm form;
    form.show();
    form.accept();
    QCOMPARE(
        m_boxes, QStringList { QStringLiteral("Please select a cuntry code first to continue.") });
    QVERIFY(form.isVisible());
    QVERIFY(form.chosenMmc.isEmpty());
}

void TestCountrySelForm::answeringNoKeepsDialogAndSelection()
{
    CountrySelForm form;
    auto *list = form.findChild<QListWidget *>(QStringLiteral("ltCountries"));
    form.show();
    QListWidgetItem *uk = findItem(list, QStringLiteral("United Kingdom (+44)"));
    list->setCurrentItem(uk);
    m_answer = QMessageBox::No;
    form.accept();
    QCOMPARE(m_boxes, QStringList { QStringLiteral("Confirm to select United Kingdom (+44)?") });
    QVERIFY(form.isVisible());
    QCOMPARE(list->currentItem(), uk);
    QVERIFY(form.chosenMmc.isEmpty());
}

void TestCountrySelForm::confirmedChoiceGivesMobileCountryCode()
{
    CountrySelForm form;
    auto *list = form.findChild<QListWidget *>(QStringLiteral("ltCountries"));
    auto *edit = form.findChild<QLineEdit *>(QStringLiteral("txtKW"));
    form.show();
    edit->setText(QStringLiteral("fran"));
    list->setCurrentItem(findItem(list, QStringLiteral("France (+33)")));
    form.accept();
    QVERIFY(!form.isVisible());
    QCOMPARE(form.result(), int(QDialog::Accepted));
    QCOMPARE(form.chosenMmc, QStringLiteral("208"));
}

void TestCountrySelForm::cannotBeCancelledWhenCountriesLoaded()
{
    CountrySelForm form;
    form.show();
    form.reject();
    QVERIFY(form.isVisible());
    QTest::keyClick(&form, Qt::Key_Escape);
    QVERIFY(form.isVisible());
}

void TestCountrySelForm::closableWhenTableBroken()
{
    // A damaged copy is replaced from the built-in table; a folder in its place is not.
    const QString copy = dataFolder().filePath(QStringLiteral("countries.db"));
    QFile::remove(copy);
    QVERIFY(QDir().mkdir(copy));

    {
        CountrySelForm form;
        QCOMPARE(m_boxes.size(), 1);
        QVERIFY(!form.countriesLoaded());
        QCOMPARE(form.findChild<QListWidget *>(QStringLiteral("ltCountries"))->count(), 0);
        form.show();
        QTest::keyClick(&form, Qt::Key_Escape);
        QVERIFY(!form.isVisible());
        QCOMPARE(form.result(), int(QDialog::Rejected));
        QVERIFY(form.chosenMmc.isEmpty());
    }
    {
        m_boxes.clear();
        CountrySelForm form;
        form.show();
        form.accept();
        QVERIFY(!form.isVisible());
        QCOMPARE(form.result(), int(QDialog::Rejected));
    }
    QVERIFY(QDir().rmdir(copy));
}

QTEST_MAIN(TestCountrySelForm)
#include "tst_countryselform.moc"
