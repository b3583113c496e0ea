// A progress dialog for worker tests: runs a worker the way the main window does, answers
// the boxes it shows and records what the worker reported. One made while another is alive
// records the boxes until it is gone, then the other again.
#pragma once

#include "shell/progressform.h"

#include <QList>
#include <QStringList>

class QThread;

class RecordingProgressForm : public ProgressForm
{
    Q_OBJECT
public:
    RecordingProgressForm();
    ~RecordingProgressForm() override;

    // Starts the worker, runs the dialog modally and waits for the worker; the dialog's
    // result.
    int run(QThread &worker);

    QStringList statuses; // non-empty status texts, in order
    QList<int> values;
    QStringList texts;
    QStringList infos; // information boxes (success texts)
    QStringList errors; // error boxes

public slots:
    // Found by name before the dialog's own slot, which it then calls.
    void updateProgress(QString status, int curProgress, QString progressText);

private:
    RecordingProgressForm *outer; // the dialog alive before this one, if any
};
