#include "backup2tool.h"

#include "devicesession.h"
#include "shell/runtimeerror.h"

#include "platform/win/winplatform.h"

#include <QDateTime>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTextCodec>

#include <stdexcept>

namespace {

const char toolName[] = "AppleMobileBackup.exe";
constexpr int startTimeoutMs = 60000;
constexpr int pollMs = 200;
constexpr qint64 defaultSeconds = 60;
// An error text names no more of the tool's lines than a box can show.
constexpr int shownLines = 20;
constexpr int shownLineLength = 300;

bool mentionsError(const QString &text)
{
    return text.contains(QLatin1String("error"), Qt::CaseInsensitive);
}

QString shown(const QStringList &lines)
{
    const QStringList errors = lines.filter(QLatin1String("error"), Qt::CaseInsensitive);
    const QStringList chosen = lines.size() > shownLines && !errors.isEmpty() ? errors : lines;
    QStringList kept;
    for (const QString &line : chosen.mid(0, shownLines))
        kept << (line.size() > shownLineLength ? line.left(shownLineLength) + QStringLiteral("...")
                                               : line);
    if (chosen.size() > shownLines)
        kept << QStringLiteral("(%1 more lines)").arg(chosen.size() - shownLines);
    return kept.join(QLatin1Char('\n'));
}

void stop(QProcess &process)
{
    process.kill();
    process.waitForFinished(-1);
}

} // namespace

backup2tool_op::backup2tool_op(int op)
    : op(op)
    , flags { true, true, true, true, true }
{
}

backup2tool::backup2tool(void *device, const QString &udid, const QDir &root, QObject *parent)
    : QObject(parent)
    , m_device(device)
    , m_udid(udid)
    , m_root(root)
{
}

void backup2tool::cancel()
{
    m_cancel = true;
}

qint64 backup2tool::expectedSeconds(qint64 usedBytes)
{
    const qint64 megabytes = usedBytes / 1024 / 1024;
    if (megabytes <= 0)
        return defaultSeconds;
    // A phone with almost nothing on it would otherwise be expected to take no time at all.
    return qMax<qint64>(1, static_cast<qint64>(megabytes * 0.03));
}

double backup2tool::progressAfter(qint64 elapsed, qint64 expected)
{
    const double progress = double(elapsed) / double(qMax<qint64>(1, expected)) * 99;
    return qMin(99.0, qMax(0.0, progress));
}

QString backup2tool::escapedError(const char *what)
{
    QString text = QString::fromUtf8(what).toHtmlEscaped();
    text.replace(QLatin1String("\r\n"), QLatin1String("<br/>"));
    text.replace(QLatin1Char('\n'), QLatin1String("<br/>"));
    return text;
}

QString backup2tool::outputText(const QByteArray &bytes)
{
    const int zero = bytes.indexOf('\0');
    const QByteArray text = zero < 0 ? bytes : bytes.left(zero);
    // Our tool writes UTF-8; a console tool may still write its code page.
    QTextCodec::ConverterState state;
    const QString utf8
        = QTextCodec::codecForMib(106)->toUnicode(text.constData(), text.size(), &state);
    if (state.invalidChars == 0 && state.remainingChars == 0)
        return utf8;
    return QString::fromLatin1(text);
}

QStringList backup2tool::messageLines(const QString &output)
{
    static const QRegularExpression progress(QStringLiteral("^[\\w ]+: \\d{1,3}%"));
    QStringList lines;
    for (const QString &line : output.split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (!trimmed.isEmpty() && (mentionsError(trimmed) || !progress.match(trimmed).hasMatch()))
            lines << trimmed;
    }
    return lines;
}

QString backup2tool::failureText(const QString &output, bool crashed, int exitCode)
{
    const QString said = shown(messageLines(output));
    if (mentionsError(output))
        return said;
    // A tool that dies or gives up without a word has not done its job either.
    if (crashed)
        return QStringLiteral("AppleMobileBackup process crashed.\n%1").arg(said).trimmed();
    if (exitCode != 0)
        return QStringLiteral("AppleMobileBackup process failed with exit code %1.\n%2")
            .arg(exitCode)
            .arg(said)
            .trimmed();
    return QString();
}

qint64 backup2tool::estimate() const
{
    try {
        const QList<CFType> values = mobiledevice_copy_values(
            m_device, QStringList { QString() }, QStringLiteral("com.apple.disk_usage"));
        if (values.isEmpty())
            return defaultSeconds;
        const CFType usage = values.first();
        const qint64 total = usage.value(QStringLiteral("TotalDataCapacity")).toLongLong();
        const qint64 available = usage.value(QStringLiteral("AmountDataAvailable")).toLongLong();
        return expectedSeconds(total - available);
    } catch (const std::exception &) {
        return defaultSeconds;
    }
}

QStringList backup2tool::arguments(const backup2tool_op &op) const
{
    const QString root = QDir::toNativeSeparators(m_root.absolutePath());
    QStringList args { QStringLiteral("-u"), m_udid };
    switch (op.op) {
    case backup2tool_op::Backup:
        args << QStringLiteral("--backup") << QStringLiteral("--target") << m_udid
             << QStringLiteral("--root") << root;
        break;
    case backup2tool_op::Restore:
        args << QStringLiteral("--restore") << QStringLiteral("--target") << m_udid
             << QStringLiteral("--root") << root << QStringLiteral("--source") << m_udid;
        break;
    default:
        throwRuntimeError(QStringLiteral("unknown backup2tool_op."));
    }
    return args;
}

QString backup2tool::toolPath()
{
    const QString systemRoot = QDir::rootPath();
    QString programFiles = systemRoot + QStringLiteral("Program Files (x86)");
    if (!QFileInfo(programFiles).isDir())
        programFiles = systemRoot + QStringLiteral("Program Files");
    QString path = programFiles + QStringLiteral("/Common Files/Apple/Mobile Device Support/")
        + QLatin1String(toolName);
    if (!QFileInfo(path).isFile()) {
        const QString common = winplatform::commonProgramFilesFolder();
        if (QFileInfo(common).isDir())
            path = common + QStringLiteral("/Apple/Mobile Device Support/")
                + QLatin1String(toolName);
    }
    // Our own tool is installed beside the program.
    if (!QFileInfo(path).isFile()) {
        const QString beside
            = winplatform::programFolder() + QLatin1Char('/') + QLatin1String(toolName);
        if (QFileInfo(beside).isFile())
            path = beside;
    }
    return path;
}

void backup2tool::run(const backup2tool_op &op)
{
    m_cancel = false;
    m_progress = 0;
    const qint64 expected = estimate();
    const QStringList args = arguments(op);

    QProcess process;
    process.start(toolPath(), args, QIODevice::ReadOnly);
    if (!process.waitForStarted(startTimeoutMs))
        throwRuntimeError(QStringLiteral("can not start AppleMobileBackup process."));
    const qint64 t0 = QDateTime::currentSecsSinceEpoch();
    for (;;) {
        if (m_cancel) {
            stop(process);
            return;
        }
        // A tool that ended between two polls is not waited for: it is no longer running.
        if (process.waitForFinished(pollMs) || process.state() == QProcess::NotRunning)
            break;
        const qint64 seconds = QDateTime::currentSecsSinceEpoch() - t0;
        m_progress = progressAfter(seconds, expected);
        emit update(m_progress, m_status1, QStringLiteral("%1 seconds passed").arg(seconds));
    }

    const QString output
        = outputText(process.readAllStandardError() + '\n' + process.readAllStandardOutput());
    qDebug("%s", qPrintable(messageLines(output).join(QLatin1Char('\n'))));
    const QString failure
        = failureText(output, process.exitStatus() != QProcess::NormalExit, process.exitCode());
    if (!failure.isEmpty())
        throwRuntimeError(failure);
}
