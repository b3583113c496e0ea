// Tests that kill a writer with SIGKILL in the middle of its work, again and again: the test
// binary runs itself once more as the writer, which writes until it is killed.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// In main(): when the arguments are `flag` and one folder, runs `writer` on that folder (it
// should never return) and gives true with its exit code in `code`; false otherwise.
bool runAsWriter(int argc, char **argv, const char *flag,
    const std::function<int(const QString &folder)> &writer, int *code);

// The main() of a test binary that is its own writer (see runAsWriter).
#define QM_TEST_MAIN_WITH_WRITER(TestObject, flag, writer)                                         \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        int code = 0;                                                                              \
        if (runAsWriter(argc, argv, flag, writer, &code))                                          \
            return code;                                                                           \
        QCoreApplication app(argc, argv);                                                          \
        TestObject test;                                                                           \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
// Called by the writer once its set-up is done, so that the kill falls into its work.
void announceWriterReady();

// Runs this binary as the writer of `flag` on `folder`, waits until it is ready, lets it work
// `ms` milliseconds and kills it with SIGKILL. False, with the reason, when it did not start
// or ended by itself.
bool killWriterAfter(const char *flag, const QString &folder, int ms, QString *why);

// Under load one round of the writer's work may outlast every short delay of a test: runs
// the writer for ever longer times (1 s, doubling up to 32 s), killing it after each, until
// `progress()` (read after the kill) exceeds `least`. False, with the reason, when it never
// does or the writer fails to start.
bool letWriterProgress(const char *flag, const QString &folder,
    const std::function<qint64()> &progress, qint64 least, QString *why);

// Runs `work` in a child process, which then dies as by "kill -9": what it made stays, and
// what it still holds (never what `work` destroyed on returning) is let go as by a death.
// False when the child could not run or did not die so.
bool runThenDie(const std::function<void()> &work);

// Delays for the kills, spread pseudo-randomly over [least, least + span) milliseconds from
// a fixed seed, so that a failing run repeats.
class KillDelays
{
public:
    explicit KillDelays(quint32 seed = 12345)
        : seed(seed)
    {
    }
    int next(int least, int span);

private:
    quint32 seed;
};
