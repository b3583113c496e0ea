#include "support/recordingprogressform.h"

#include "shell/messagebox.h"

#include <QThread>

RecordingProgressForm::RecordingProgressForm()
    : ProgressForm(QString())
{
    setMessageBoxHook([this](QMessageBox &box) {
        (box.icon() == QMessageBox::Critical ? errors : infos).append(box.text());
        return QMessageBox::Ok;
    });
}

RecordingProgressForm::~RecordingProgressForm()
{
    setMessageBoxHook(nullptr);
}

int RecordingProgressForm::run(QThread &worker)
{
    // A cancelled worker reports nothing: the dialog was closed by the Cancel button.
    connect(&worker, &QThread::finished, this, [this] {
        if (isVisible())
            done(0);
    });
    worker.start();
    const int result = exec();
    worker.wait();
    return result;
}

void RecordingProgressForm::updateProgress(QString status, int curProgress, QString progressText)
{
    if (!status.isEmpty())
        statuses.append(status);
    values.append(curProgress);
    texts.append(progressText);
    ProgressForm::updateProgress(status, curProgress, progressText);
}
