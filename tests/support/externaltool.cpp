#include "support/externaltool.h"

#include <QProcess>
#include <QStandardPaths>

QString findTool(const QString &name)
{
    return QStandardPaths::findExecutable(name);
}

ToolResult runTool(const QString &program, const QStringList &args, const QByteArray &input)
{
    ToolResult result;
    QProcess process;
    process.start(program, args);
    if (!process.waitForStarted()) {
        result.err = process.errorString().toUtf8();
        return result;
    }
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(120000);
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}
