// The daily log: every message of the framework's message handler goes to
// "log-yyyyMMdd.txt" in the log folder, one line each.
#pragma once

#include <QString>
#include <QtGlobal>

// Remembers the folder, deletes its oldest files (by name) so that at most `keep` remain
// and installs logMessageHandler.
void initLogFile(const QString &folder, int keep);
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text);
// Closes the open log file; the next message opens the file of its day again.
void closeLogFile();
