#include "operations/messageprogress.h"

#include "shell/progressform.h"

MessageProgress::MessageProgress(
    ProgressForm *form, int total, const QString &status, const QString &countFormat)
    : form(form)
    , total(total)
    , status(status)
    , countFormat(countFormat)
{
}

void MessageProgress::step(int i)
{
    const int value = int(double(i) / total * 100);
    if (value == lastValue && i != total)
        return;
    lastValue = value;
    ProgressForm::postUpdateProgress(form, status, value, countFormat.arg(i).arg(total));
}
