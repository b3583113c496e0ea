#include "fsmatrix/treecheck.h"

#include "support/foldersnapshot.h"

#include <QDir>
#include <QRegularExpression>

#include <cstring>

namespace {

bool escapedNames = false;

} // namespace

void setEscapedNames(bool escaped)
{
    escapedNames = escaped;
}

Tree userTree(const QString &root)
{
    const Tree found = snapshotFolder(root);
    if (!escapedNames)
        return found;
    Tree decoded;
    for (auto it = found.cbegin(); it != found.cend(); ++it)
        decoded.insert(
            QString::fromUtf8(QByteArray::fromPercentEncoding(it.key().toUtf8())), it.value());
    return decoded;
}

Tree comparableTree(const QString &root)
{
    static const QRegularExpression made(QStringLiteral("/CreationDate \\([^)]*\\)"));
    static const QRegularExpression preview(QStringLiteral("[0-9a-f]{32}"));
    Tree files;
    const Tree found = userTree(root);
    for (auto it = found.cbegin(); it != found.cend(); ++it) {
        QByteArray content = it.value();
        if (it.key().endsWith(QLatin1String(".pdf")))
            content = QString::fromLatin1(content).remove(made).toLatin1();
        if (it.key().endsWith(QLatin1String(".html")))
            content
                = QString::fromUtf8(content).replace(preview, QStringLiteral("preview")).toUtf8();
        QString name = it.key();
        files.insert(name.replace(preview, QStringLiteral("preview")), content);
    }
    return files;
}

bool isBookkeeping(const QString &relative)
{
    static const QRegularExpression own(
        QStringLiteral("^\\.|\\.partial$|\\.lock$|\\.saving$|unfinished-save"));
    const QStringList parts = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        if (own.match(part).hasMatch())
            return true;
    }
    return false;
}

QStringList outermost(const QStringList &paths)
{
    QStringList sorted = paths;
    sorted.sort();
    QStringList kept;
    for (const QString &path : qAsConst(sorted)) {
        if (kept.isEmpty() || !kept.last().endsWith(QLatin1Char('/'))
            || !path.startsWith(kept.last()))
            kept << path;
    }
    return kept;
}

namespace {

QStringList leftEntries(const QStringList &paths)
{
    QStringList left;
    for (const QString &path : outermost(paths))
        left << QStringLiteral("left ") + path;
    return left;
}

} // namespace

QStringList treeDifferences(const Tree &expected, const Tree &actual)
{
    QStringList differences;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (isBookkeeping(it.key()))
            continue;
        if (!actual.contains(it.key()))
            differences << QStringLiteral("missing ") + it.key();
        else if (actual.value(it.key()) != it.value())
            differences << QStringLiteral("differs ") + it.key();
    }
    QStringList left;
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (isBookkeeping(it.key()) || !expected.contains(it.key()))
            left << it.key();
    }
    return differences + leftEntries(left);
}

QStringList damageAfterFailure(const Tree &before, const Tree &after)
{
    QStringList damage;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (!after.contains(it.key()))
            damage << QStringLiteral("the user's ") + it.key() + QStringLiteral(" is gone");
        else if (after.value(it.key()) != it.value())
            damage << QStringLiteral("the user's ") + it.key() + QStringLiteral(" changed");
    }
    QStringList left;
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        if (!before.contains(it.key()))
            left << it.key();
    }
    return damage + leftEntries(left);
}

bool namesTarget(const QString &error, const QString &target)
{
    static const QRegularExpression hidden(
        QStringLiteral("\\.partial|\\.saving|unfinished-save|\\.lock\\b|/\\.[^/\\s]"));
    const QString named = QDir::toNativeSeparators(target);
    if (!error.contains(named))
        return false;
    // What follows the user's path must not be one of the program's own names.
    return !QString(error).replace(named, QStringLiteral("TARGET")).contains(hidden);
}

QString systemReasonIn(const QString &error)
{
    QString found;
    for (int code = 1; code < 134; ++code) {
        const QString text = QString::fromLocal8Bit(std::strerror(code));
        if (!text.startsWith(QLatin1String("Unknown error")) && error.contains(text)
            && text.size() > found.size())
            found = text;
    }
    return found;
}

QString oneLine(QString text, int limit)
{
    // The error box's frame around what went wrong.
    static const QRegularExpression frame(
        QStringLiteral("^An Error Occurred\\.\\s*(.*?)\\s*Or you can contact .*$"));
    text = text.replace(QLatin1String("<br/>"), QLatin1String(" ")).simplified();
    const QRegularExpressionMatch framed = frame.match(text);
    if (framed.hasMatch())
        text = framed.captured(1);
    if (text.size() > limit)
        text = text.left(limit - 3) + QStringLiteral("...");
    return text;
}
