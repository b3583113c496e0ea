#include "support/recordingprogressform.h"

#include "shell/messagebox.h"

#include <QThread>

namespace {

// The newest dialog alive, which the boxes go to.
RecordingProgressForm *innermost = nullptr;

} // namespace

RecordingProgressForm::RecordingProgressForm()
    : ProgressForm(QString())
    , outer(innermost)
{
    innermost = this;
    setMessageBoxHook([](QMessageBox &box) {
        (box.icon() == QMessageBox::Critical ? innermost->errors : innermost->infos)
            .append(box.text());
        return QMessageBox::Ok;
    });
}

RecordingProgressForm::~RecordingProgressForm()
{
    RecordingProgressForm **link = &innermost;
    while (*link != this)
        link = &(*link)->outer;
    *link = outer;
    if (!innermost)
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
