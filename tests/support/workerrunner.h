// Runs a worker thread under a progress dialog the way the main window does, answering every
// message box at once and recording what the worker reported.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class ProgressForm;
class QThread;

struct WorkerRun
{
    int result = -1; // what the dialog's exec() returned
    bool failed = false; // the dialog's flag after the worker ended
    QStringList infos; // texts of the information boxes shown
    QStringList errors; // texts of the error boxes shown (inside the box's frame)
    QList<int> progress; // values the bar took, in order
    QString status; // the status line at the end
    QString detail; // the detail line at the end

    bool done() const { return result == 1 && !failed; }
};

// Starts the worker, runs the dialog modally, waits for the worker and lets queued reports
// arrive. A test's own message-box hook is replaced while it runs. A worker that ends
// without reporting anything closes the dialog with result 0, as Cancel would have.
WorkerRun runWorker(QThread &worker, ProgressForm &form);

// Presses Cancel from the worker's thread and returns once the dialog has closed, so that
// the worker sees the flag on its next check. For step hooks of tests.
void cancelFromWorker(ProgressForm &form);

// Installs the built-in English texts (":/en.qm") once for the process; false when they
// cannot be loaded.
bool installEnglishTexts();
