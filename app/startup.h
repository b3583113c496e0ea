// The program's start-up: translation, database wrapper check, daily log, Apple's device
// libraries, the main window and the event loop.
#pragma once

#include "platform/sqlite_qt/sqlite_qt.h"

// Runs the program and returns its exit code. Uses the application object that exists,
// else creates one from the command line. `wrapperVersion` reports the database wrapper's
// version; only 5 is accepted.
//
// Test-only: when the environment variable QUILLMARROW_AUTOQUIT_MS holds a number, every
// message box is logged and dismissed at once instead of waiting for the user, and the event
// loop quits after that many milliseconds.
int runApplication(int &argc, char **argv, int (*wrapperVersion)() = &sqlite_qt_version);
