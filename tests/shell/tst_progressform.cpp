#include "shell/messagebox.h"
#include "shell/progressform.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

struct ShownBox
{
    QMessageBox::Icon icon;
    QString text;
};

// Runs `work` in a worker thread while the form runs modally; returns the form's result.
int runWithWorker(ProgressForm &form, std::function<void()> work)
{
    std::unique_ptr<QThread> worker(QThread::create(std::move(work)));
    worker->start();
    const int result = form.exec();
    worker->wait();
    return result;
}

} // namespace

class TestProgressForm : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void cancelEmitsUserCacelOnceAndStopsWorker();
    void updateProgressKeepsWhatIsNotGiven_data();
    void updateProgressKeepsWhatIsNotGiven();
    void finishesWithWorkerResult_data();
    void finishesWithWorkerResult();
    void escapeAndCloseDoNotFinish();
    void tipsWaitShowsInfoAndKeepsDialogOpen();

private:
    QList<ShownBox> m_boxes;
};

void TestProgressForm::init()
{
    m_boxes.clear();
    setMessageBoxHook([this](QMessageBox &box) {
        m_boxes.append({ box.icon(), box.text() });
        return QMessageBox::Ok;
    });
}

void TestProgressForm::cleanup()
{
    setMessageBoxHook(nullptr);
}

void TestProgressForm::cancelEmitsUserCacelOnceAndStopsWorker()
{
    ProgressForm form("Working");
    QSignalSpy cancelled(&form, &ProgressForm::userCacel);
    QTimer::singleShot(50, &form,
        [&form] { QTest::mouseClick(form.findChild<QPushButton *>("btnCancel"), Qt::LeftButton); });
    const int result = runWithWorker(form, [&form] {
        for (int i = 0; !form.failed; ++i) {
            ProgressForm::postUpdateProgress(&form, QString(), i % 100, QString());
            QThread::msleep(2);
        }
    });
    QCOMPARE(result, 0);
    QCOMPARE(cancelled.count(), 1);
    QVERIFY(form.failed);
    QVERIFY(m_boxes.isEmpty());
}

void TestProgressForm::updateProgressKeepsWhatIsNotGiven_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expectedStatus");
    QTest::addColumn<int>("expectedValue");
    QTest::addColumn<QString>("expectedText");
    QTest::newRow("negative value, empty text")
        << QString() << -1 << QString() << "Start" << 42 << "Progress:42%";
    QTest::newRow("new status and value")
        << "Next" << 7 << QString() << "Next" << 7 << "Progress:7%";
    QTest::newRow("own progress text") << QString() << 60 << "Messages: 3/5"
                                       << "Start" << 60 << "Messages: 3/5";
}

void TestProgressForm::updateProgressKeepsWhatIsNotGiven()
{
    QFETCH(QString, status);
    QFETCH(int, value);
    QFETCH(QString, text);
    QFETCH(QString, expectedStatus);
    QFETCH(int, expectedValue);
    QFETCH(QString, expectedText);
    ProgressForm form("Title");
    std::unique_ptr<QThread> worker(QThread::create([&] {
        ProgressForm::postUpdateProgress(&form, "Start", 42, QString());
        ProgressForm::postUpdateProgress(&form, status, value, text);
    }));
    worker->start();
    QVERIFY(worker->wait(5000));
    QCoreApplication::sendPostedEvents(&form);

    QCOMPARE(form.findChild<QLabel *>("lbStatus")->text(), expectedStatus);
    QCOMPARE(form.findChild<QProgressBar *>("progressBar")->value(), expectedValue);
    QCOMPARE(form.findChild<QLabel *>("lbProgress")->text(), expectedText);
}

void TestProgressForm::finishesWithWorkerResult_data()
{
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expectedResult");
    QTest::addColumn<int>("expectedIcon"); // -1: no box
    QTest::newRow("success without text") << true << QString() << 1 << -1;
    QTest::newRow("success with text")
        << true << "Successfully exported 3 Messages." << 1 << int(QMessageBox::Information);
    QTest::newRow("error") << false << "disk full" << 0 << int(QMessageBox::Critical);
}

void TestProgressForm::finishesWithWorkerResult()
{
    QFETCH(bool, success);
    QFETCH(QString, text);
    QFETCH(int, expectedResult);
    QFETCH(int, expectedIcon);
    ProgressForm form("Title");
    const int result = runWithWorker(form, [&] {
        if (success)
            ProgressForm::postSucceed(&form, text);
        else
            ProgressForm::postErrorOccurred(&form, text);
    });
    QCOMPARE(result, expectedResult);
    QCOMPARE(bool(form.failed), expectedResult == 0);
    if (expectedIcon < 0) {
        QVERIFY(m_boxes.isEmpty());
    } else {
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(int(m_boxes.at(0).icon), expectedIcon);
        QVERIFY(m_boxes.at(0).text.contains(text));
    }
}

void TestProgressForm::escapeAndCloseDoNotFinish()
{
    ProgressForm form("Title");
    bool visibleAfterEscape = false;
    QTimer::singleShot(0, &form, [&] {
        QTest::keyClick(&form, Qt::Key_Escape);
        form.close();
        visibleAfterEscape = form.isVisible();
        ProgressForm::postSucceed(&form, QString());
    });
    QCOMPARE(form.exec(), 1);
    QVERIFY(visibleAfterEscape);
    QVERIFY(!form.failed);
}

void TestProgressForm::tipsWaitShowsInfoAndKeepsDialogOpen()
{
    ProgressForm form("Title");
    const int result = runWithWorker(form, [&form] {
        ProgressForm::postTipsWait(&form, "Unlock your iPhone");
        while (form.tipsShown)
            QThread::msleep(1);
        ProgressForm::postSucceed(&form, QString());
    });
    QCOMPARE(result, 1);
    QVERIFY(!form.tipsShown);
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes.at(0).icon, QMessageBox::Information);
    QCOMPARE(m_boxes.at(0).text, QString("Unlock your iPhone"));
}

QTEST_MAIN(TestProgressForm)
#include "tst_progressform.moc"
