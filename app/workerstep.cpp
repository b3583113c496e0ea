#include "app/workerstep.h"

#include "shell/progressform.h"

#include <QCoreApplication>
#include <QThread>

StepResult runWorkerStep(QThread &worker, ProgressForm &form)
{
    worker.start(QThread::InheritPriority);
    const int result = form.exec();
    worker.wait();
    if (result == QDialog::Accepted && !form.failed)
        return StepResult::Done;
    // A success posted after Cancel closed the dialog finishes it again with result 1.
    QCoreApplication::sendPostedEvents(&form, QEvent::MetaCall);
    if (form.result() == QDialog::Accepted && !form.failed)
        return StepResult::DoneAfterCancel;
    return StepResult::Failed;
}
