// The per-message progress of a message worker, posted to its dialog only when the
// percentage changes, so that a large list does not flood the dialog with updates it must
// all handle before it can close.
#pragma once

#include <QString>

class ProgressForm;

class MessageProgress
{
public:
    // countFormat holds %1 (messages done) and %2 (all messages).
    MessageProgress(
        ProgressForm *form, int total, const QString &status, const QString &countFormat);

    // Message i of the total (1-based) has been reached.
    void step(int i);

private:
    ProgressForm *form;
    int total;
    QString status;
    QString countFormat;
    int lastValue = -1;
};
