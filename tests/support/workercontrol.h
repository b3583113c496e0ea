// What worker tests need beside the recording dialog: the English texts the workers report,
// a Cancel pressed from inside the worker at a chosen moment, and reports that arrive after
// the dialog has closed.
#pragma once

class ProgressForm;

// Installs the built-in English texts (":/en.qm") once for the process; false when they
// cannot be loaded.
bool installEnglishTexts();

// Presses Cancel from the worker's thread and returns once the dialog has closed, so that
// the worker sees the flag on its next check. For the hooks that workers call.
void cancelFromWorker(ProgressForm &form);

// Delivers what a worker posted after its dialog had closed (a late success, say).
void deliverLateReports();
