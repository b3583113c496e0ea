// The matrix's own judgement: what it takes for the program's leftovers, when an error names
// the user's path, and how two trees differ. A fault here would let a cell pass silently.
#include "fsmatrix/treecheck.h"

#include <QtTest>

#include <cerrno>
#include <cstring>

class TestTreeCheck : public QObject
{
    Q_OBJECT

private slots:
    void bookkeepingIsTheProgramsOwnOnly_data();
    void bookkeepingIsTheProgramsOwnOnly();
    void errorNamesTheUsersPathAlone_data();
    void errorNamesTheUsersPathAlone();
    void systemReasonIsFoundInTheText();
    void differencesNameMissingChangedAndLeftEntries();
    void failureDamageNamesTheUsersFilesAndWhatWasAdded();
    void errorBoxFrameIsDropped();
};

void TestTreeCheck::bookkeepingIsTheProgramsOwnOnly_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("own");
    QTest::newRow("partial file") << "messages.txt.AbCdEf123456.partial" << true;
    QTest::newRow("inside a staging folder") << "out.AbCdEf123456.partial/a.html" << true;
    QTest::newRow("lock file") << "out/.quillmarrow.lock" << true;
    QTest::newRow("journal") << "db/.unfinished-save" << true;
    QTest::newRow("database staging") << ".db.saving/file-relay/" << true;
    QTest::newRow("page") << "out/Alice Doe (+15550001111).html" << false;
    QTest::newRow("user's backup name") << "notes.txt.backup" << false;
    QTest::newRow("picture") << "out/files/IMG_0001.jpg" << false;
}

void TestTreeCheck::bookkeepingIsTheProgramsOwnOnly()
{
    QFETCH(QString, path);
    QFETCH(bool, own);
    QCOMPARE(isBookkeeping(path), own);
}

void TestTreeCheck::errorNamesTheUsersPathAlone_data()
{
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("names");
    QTest::newRow("the file") << "/m/case/messages.txt: No space left on device" << true;
    QTest::newRow("a file below the folder") << "/m/case/messages.txt/x: Device busy" << true;
    QTest::newRow("the partial beside it")
        << "/m/case/messages.txt.AbCdEf123456.partial: No space left on device" << false;
    QTest::newRow("a lock below it") << "/m/case/messages.txt/.quillmarrow.lock: busy" << false;
    QTest::newRow("another path") << "/m/other.txt: No space left on device" << false;
}

void TestTreeCheck::errorNamesTheUsersPathAlone()
{
    QFETCH(QString, error);
    QFETCH(bool, names);
    QCOMPARE(namesTarget(error, QStringLiteral("/m/case/messages.txt")), names);
}

void TestTreeCheck::systemReasonIsFoundInTheText()
{
    const QString full = QString::fromLocal8Bit(std::strerror(ENOSPC));
    QCOMPARE(systemReasonIn(QStringLiteral("/a/b: ") + full), full);
    QCOMPARE(systemReasonIn(QStringLiteral("Something went wrong")), QString());
}

void TestTreeCheck::differencesNameMissingChangedAndLeftEntries()
{
    const Tree expected { { "out/", "" }, { "out/a.html", "a" }, { "out/b.html", "b" } };
    QCOMPARE(treeDifferences(expected, expected), QStringList());
    const Tree actual { { "out/", "" }, { "out/a.html", "changed" },
        { "out/.quillmarrow.lock", "" }, { "out.AbCdEf123456.partial/", "" },
        { "out.AbCdEf123456.partial/b.html", "b" } };
    QCOMPARE(treeDifferences(expected, actual),
        QStringList({ "differs out/a.html", "missing out/b.html", "left out.AbCdEf123456.partial/",
            "left out/.quillmarrow.lock" }));
    // Bookkeeping that the local disk leaves too is left all the same.
    QCOMPARE(treeDifferences(actual, actual),
        QStringList({ "left out.AbCdEf123456.partial/", "left out/.quillmarrow.lock" }));
}

void TestTreeCheck::failureDamageNamesTheUsersFilesAndWhatWasAdded()
{
    const Tree before { { "messages.txt", "mine" }, { "keep/", "" }, { "keep/k.txt", "k" } };
    QCOMPARE(damageAfterFailure(before, before), QStringList());
    const Tree after { { "keep/", "" }, { "keep/k.txt", "other" },
        { "messages.txt.AbCdEf123456.partial", "cut" } };
    QCOMPARE(damageAfterFailure(before, after),
        QStringList({ "the user's keep/k.txt changed", "the user's messages.txt is gone",
            "left messages.txt.AbCdEf123456.partial" }));
}

void TestTreeCheck::errorBoxFrameIsDropped()
{
    QCOMPARE(oneLine(QStringLiteral("An Error Occurred. <br/><br/>/a/b: Permission denied<br/><br/>"
                                    " Or you can contact someone for help.")),
        QStringLiteral("/a/b: Permission denied"));
    QCOMPARE(oneLine(QStringLiteral("x").repeated(20), 10), QStringLiteral("xxxxxxx..."));
}

QTEST_MAIN(TestTreeCheck)
#include "tst_treecheck.moc"
