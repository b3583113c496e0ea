#include "app/workerstep.h"
#include "shell/appconfig.h"
#include "shell/progressform.h"
#include "support/boxrecorder.h"
#include "support/workercontrol.h"

#include <QThread>
#include <QtTest>

#include <functional>

namespace {

class FunctionThread : public QThread
{
public:
    explicit FunctionThread(std::function<void()> body)
        : body(std::move(body))
    {
    }

protected:
    void run() override { body(); }

private:
    std::function<void()> body;
};

} // namespace

Q_DECLARE_METATYPE(StepResult)

class TestWorkerStep : public QObject
{
    Q_OBJECT

private slots:
    void judgesHowTheWorkerEnded_data();
    void judgesHowTheWorkerEnded();
};

void TestWorkerStep::judgesHowTheWorkerEnded_data()
{
    QTest::addColumn<QString>("ending");
    QTest::addColumn<StepResult>("result");
    QTest::addColumn<QStringList>("boxes");
    QTest::newRow("success") << "succeed" << StepResult::Done << QStringList { "done" };
    QTest::newRow("quiet success") << "succeed quietly" << StepResult::Done << QStringList();
    QTest::newRow("error") << "error" << StepResult::Failed << QStringList { "broken" };
    QTest::newRow("cancelled") << "cancel" << StepResult::Failed << QStringList();
    // Cancel pressed once the work could no longer be stopped: what the worker did counts.
    QTest::newRow("success after cancel")
        << "cancel, then succeed" << StepResult::DoneAfterCancel << QStringList { "done" };
    QTest::newRow("error after cancel")
        << "cancel, then error" << StepResult::Failed << QStringList { "broken" };
}

void TestWorkerStep::judgesHowTheWorkerEnded()
{
    QFETCH(QString, ending);
    QFETCH(StepResult, result);
    QFETCH(QStringList, boxes);
    AppConfig::setWebHost(QString()); // error reports go nowhere
    BoxRecorder recorder;
    ProgressForm form { QString() };
    FunctionThread worker([&] {
        if (ending.startsWith("cancel"))
            cancelFromWorker(form);
        if (ending.endsWith("succeed"))
            ProgressForm::postSucceed(&form, "done");
        else if (ending.endsWith("quietly"))
            ProgressForm::postSucceed(&form, QString());
        else if (ending.endsWith("error"))
            ProgressForm::postErrorOccurred(&form, "broken");
    });
    QCOMPARE(runWorkerStep(worker, form), result);
    QVERIFY(worker.isFinished());
    QCOMPARE(recorder.boxes.size(), boxes.size());
    for (int i = 0; i < boxes.size(); ++i)
        QVERIFY(recorder.texts().at(i).contains(boxes.at(i)));
}

QTEST_MAIN(TestWorkerStep)
#include "tst_workerstep.moc"
