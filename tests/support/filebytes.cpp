#include "support/filebytes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <unistd.h>

namespace filebytes {

void write(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QString hardLink(const QString &path)
{
    const QString link = path + QStringLiteral(".old");
    return ::link(QFile::encodeName(path).constData(), QFile::encodeName(link).constData()) == 0
        ? link
        : QString();
}

} // namespace filebytes
