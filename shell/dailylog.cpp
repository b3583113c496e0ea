#include "dailylog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <cstdio>
#include <cstdlib>

namespace {

struct LogState
{
    QMutex mutex;
    QString folder;
    QFile file;
};
// Survives as long as anything may still log; after its destruction lines go to stderr.
Q_GLOBAL_STATIC(LogState, logState)

// Set while a thread is inside the handler: a message raised by the file code itself
// must not come back in and wait for the mutex it already holds.
thread_local bool insideHandler = false;

QString linePrefix(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("D ");
    case QtWarningMsg:
        return QStringLiteral("W ");
    case QtCriticalMsg:
        return QStringLiteral("C ");
    case QtFatalMsg:
        return QStringLiteral("F ");
    default:
        return QString();
    }
}

void openLogFile(LogState *state)
{
    const QString name = QStringLiteral("log-%1.txt")
                             .arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")));
    QDir().mkpath(state->folder);
    state->file.setFileName(QDir(state->folder).filePath(name));
    // A file that cannot be opened loses this line; the next message tries again.
    state->file.open(QIODevice::ReadWrite | QIODevice::Append);
}

} // namespace

void initLogFile(const QString &folder, int keep)
{
    if (LogState *state = logState()) {
        QMutexLocker locker(&state->mutex);
        state->folder = folder;
        const QDir dir(folder);
        const QFileInfoList files
            = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
        for (int i = 0; i < files.size() - keep; ++i)
            QFile::remove(files.at(i).absoluteFilePath());
    }
    qInstallMessageHandler(logMessageHandler);
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    LogState *state = logState();
    if (insideHandler || !state) {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        if (type == QtFatalMsg)
            std::abort();
        return;
    }
    insideHandler = true;
    {
        QMutexLocker locker(&state->mutex);
        if (!state->file.isOpen())
            openLogFile(state);
        const QString time = QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
        if (type == QtDebugMsg) {
            std::fprintf(stdout, "%s\n", text.toUtf8().constData());
            std::fflush(stdout);
        }
        if (state->file.isOpen()) {
            const QString line = QStringLiteral("(%1%2) %3\n").arg(linePrefix(type), time, text);
            state->file.write(line.toUtf8());
            state->file.flush();
        }
    }
    insideHandler = false;
    if (type == QtFatalMsg)
        std::abort();
}

void closeLogFile()
{
    if (LogState *state = logState()) {
        QMutexLocker locker(&state->mutex);
        state->file.close();
    }
}
