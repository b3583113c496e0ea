// The program's styled, frameless message boxes, the application style sheet and the
// error report sent to the maker's web service.
#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

// "Quillmarrow Threadkeeper" through the translator (context QObject).
QString productTitle();

QMessageBox::StandardButton showMessageBox(
    QMessageBox::Icon icon, const QString &text, QMessageBox::StandardButtons buttons);
// The error box; sends the error report once it is closed.
void showError(const QString &text);
void showCriticalAndReport(const QString &text);
void showInfo(const QString &text);
void showWarning(const QString &text);
// True only when the box was closed with Yes.
bool askYesNo(const QString &text);

// When set, every box is handed to the hook instead of being run; the hook's answer is
// the box's result. An empty function restores the normal modal boxes.
using MessageBoxHook = std::function<QMessageBox::StandardButton(QMessageBox &)>;
void setMessageBoxHook(MessageBoxHook hook);

// The text of ":style.css", read once; empty when the resource cannot be read.
QString appStyleSheet();

// Base64 of the UTF-8 bytes with "/" turned into "!" and "=" into "-".
QString urlSafeBase64(const QString &text);
// Posts the error text to "/err_report.php" on the maker's web host and returns at once;
// does nothing when no web host is configured.
void sendErrorReport(const QString &text);
