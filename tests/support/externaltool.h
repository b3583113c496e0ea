// Runs an independent program (python3, pdfinfo, pdftotext) that reads back what a test
// wrote, so that outputs are checked by someone else's parser.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

struct ToolResult
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// The program's path, or empty when it is not installed.
QString findTool(const QString &name);
ToolResult runTool(
    const QString &program, const QStringList &args, const QByteArray &input = QByteArray());

// Skips the test with a clear message when the program is missing.
#define QM_FIND_TOOL(var, name)                                                                    \
    const QString var = findTool(QStringLiteral(name));                                            \
    if (var.isEmpty())                                                                             \
        QSKIP(name " is not installed (scripts/setup.sh installs it)");

// Parses an XHTML page with Python's strict XML parser: {"refs": [every src and href in
// document order], "text": all text content}; an empty object when python3 is missing or
// the page is not well-formed (then `error` holds why).
QJsonObject readXhtml(const QString &path, QString *error);
