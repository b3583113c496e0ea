#include "support/killedwriter.h"

#include <QCoreApplication>
#include <QProcess>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <sys/wait.h>
#include <unistd.h>

bool runAsWriter(int argc, char **argv, const char *flag,
    const std::function<int(const QString &folder)> &writer, int *code)
{
    if (argc != 3 || std::strcmp(argv[1], flag) != 0)
        return false;
    *code = writer(QString::fromLocal8Bit(argv[2]));
    return true;
}

void announceWriterReady()
{
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
}

bool killWriterAfter(const char *flag, const QString &folder, int ms, QString *why)
{
    QProcess writer;
    writer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    writer.start(QCoreApplication::applicationFilePath(), { QString::fromLatin1(flag), folder });
    if (!writer.waitForReadyRead(20000)) {
        *why = QStringLiteral("the writer did not start: %1").arg(writer.errorString());
        writer.kill();
        writer.waitForFinished(10000);
        return false;
    }
    QThread::msleep(static_cast<unsigned long>(ms));
    writer.kill();
    writer.waitForFinished(10000);
    if (writer.exitStatus() != QProcess::CrashExit) {
        *why = QStringLiteral("the writer ended by itself with %1").arg(writer.exitCode());
        return false;
    }
    return true;
}

bool letWriterProgress(const char *flag, const QString &folder,
    const std::function<qint64()> &progress, qint64 least, QString *why)
{
    qint64 reached = progress();
    for (int ms = 1000; reached <= least && ms <= 32000; ms *= 2) {
        if (!killWriterAfter(flag, folder, ms, why))
            return false;
        reached = progress();
    }
    if (reached <= least)
        *why = QStringLiteral("the writer got only to %1").arg(reached);
    return reached > least;
}

bool runThenDie(const std::function<void()> &work)
{
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        try {
            work();
        } catch (...) {
            ::_exit(1);
        }
        std::raise(SIGKILL);
        ::_exit(1);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

int KillDelays::next(int least, int span)
{
    seed = seed * 1103515245u + 12345u;
    return least + int((seed >> 16) % quint32(span));
}
