#include "support/workerrunner.h"

#include "shell/messagebox.h"
#include "shell/progressform.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QThread>
#include <QTranslator>

WorkerRun runWorker(QThread &worker, ProgressForm &form)
{
    WorkerRun run;
    setMessageBoxHook([&run](QMessageBox &box) {
        if (box.icon() == QMessageBox::Critical)
            run.errors.append(box.text());
        else
            run.infos.append(box.text());
        return QMessageBox::Ok;
    });
    auto *bar = form.findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QMetaObject::Connection tracking;
    if (bar)
        tracking = QObject::connect(
            bar, &QProgressBar::valueChanged, [&run](int value) { run.progress.append(value); });

    // A worker that ends without a report would leave the dialog open for ever; the real
    // dialog is closed by then only when Cancel ended the run.
    const QMetaObject::Connection silent = QObject::connect(&worker, &QThread::finished, &form,
        [&form] {
            if (form.isVisible())
                form.done(0);
        });
    worker.start();
    run.result = form.exec();
    worker.wait();
    // Reports posted after the dialog closed (a late success, say) arrive now.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();

    QObject::disconnect(tracking);
    QObject::disconnect(silent);
    setMessageBoxHook(nullptr);
    run.failed = form.failed;
    if (auto *status = form.findChild<QLabel *>(QStringLiteral("lbStatus")))
        run.status = status->text();
    if (auto *detail = form.findChild<QLabel *>(QStringLiteral("lbProgress")))
        run.detail = detail->text();
    return run;
}

void cancelFromWorker(ProgressForm &form)
{
    QMetaObject::invokeMethod(&form, "cancel", Qt::BlockingQueuedConnection);
}

bool installEnglishTexts()
{
    static QTranslator *translator = nullptr;
    if (translator)
        return true;
    auto *loaded = new QTranslator(QCoreApplication::instance());
    if (!loaded->load(QStringLiteral(":/en.qm"))) {
        delete loaded;
        return false;
    }
    QCoreApplication::installTranslator(loaded);
    translator = loaded;
    return true;
}
