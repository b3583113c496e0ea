#include "support/externaltool.h"

#include <QJsonDocument>
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

QJsonObject readXhtml(const QString &path, QString *error)
{
    const QString python = findTool(QStringLiteral("python3"));
    if (python.isEmpty()) {
        *error = QStringLiteral("python3 is not installed");
        return QJsonObject();
    }
    const ToolResult result = runTool(python,
        { QStringLiteral("-c"),
            QStringLiteral("import json, sys, xml.etree.ElementTree as ET\n"
                           "root = ET.parse(sys.argv[1]).getroot()\n"
                           "refs = [e.get(a) for e in root.iter() for a in ('src', 'href')\n"
                           "        if e.get(a) is not None]\n"
                           "print(json.dumps({'refs': refs, 'text': ''.join(root.itertext())}))\n"),
            path });
    if (result.exitCode != 0) {
        *error = QString::fromUtf8(result.err);
        return QJsonObject();
    }
    return QJsonDocument::fromJson(result.out).object();
}
