// One long step of a window flow: a worker run under its modal progress dialog, as every
// flow runs them, and what came of it.
#pragma once

class ProgressForm;
class QThread;

enum class StepResult {
    Failed, // error or cancel: the worker has already said so, or cancel needs no word
    Done,
    // Cancel was pressed, but the worker had gone past the point of no return and finished
    // its job; its own report has been shown.
    DoneAfterCancel,
};

// Starts the worker with the inherited priority, runs the dialog and waits for the worker
// without time limit. Reports the worker posted after the dialog had closed are delivered
// before the result is judged.
StepResult runWorkerStep(QThread &worker, ProgressForm &form);

inline bool finished(StepResult result)
{
    return result != StepResult::Failed;
}
