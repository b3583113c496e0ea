// Runs the backup tool as a child process to back a device up into a folder or to restore
// a backup folder to it, reporting estimated progress while it waits and killing it when
// asked to cancel.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QObject>
#include <QString>

#include <atomic>

// What the tool is asked to do; only `op` is read.
struct backup2tool_op
{
    enum { Backup = 0, Restore = 1 };

    explicit backup2tool_op(int op);

    int op;
    bool flags[5];
    QString text;
};

class backup2tool : public QObject
{
    Q_OBJECT
public:
    backup2tool(void *device, const QString &udid, const QDir &root, QObject *parent = nullptr);

    // Runs the job in the calling thread until the tool ends or is killed; throws
    // std::runtime_error when it fails. A cancelled job returns without an error.
    void run(const backup2tool_op &op);

    QString status1() const { return m_status1; }
    QString status2() const { return m_status2; }
    double progress() const { return m_progress; }
    bool cancelled() const { return m_cancel; }

    // The command line of a job, without the program.
    QStringList arguments(const backup2tool_op &op) const;
    // Where the tool is installed: Apple's folders first, then beside the program.
    static QString toolPath();
    // Seconds a job is expected to take with this much of the device in use (bytes).
    static qint64 expectedSeconds(qint64 usedBytes);
    // 0 to 99 after `elapsed` of `expected` seconds.
    static double progressAfter(qint64 elapsed, qint64 expected);
    // An error text for an HTML box: UTF-8 decoded, escaped, one line of the box per line.
    static QString escapedError(const char *what);
    // The tool's output up to its first NUL byte: UTF-8 when it is valid UTF-8, else Latin-1.
    static QString outputText(const QByteArray &bytes);
    // The lines of the tool's output worth keeping: neither blank nor progress lines
    // ("Backing up: 45% (9 of 20 files)").
    static QStringList messageLines(const QString &output);
    // Why a finished run failed, from its whole output and its end; empty when it did not.
    // Names at most a screenful of the tool's lines, preferring those with "error".
    static QString failureText(const QString &output, bool crashed, int exitCode);

signals:
    void update(double pg, QString status1, QString status2);

public slots:
    void cancel();

private:
    qint64 estimate() const;

    void *m_device;
    QString m_udid;
    QDir m_root;
    QString m_status1;
    QString m_status2;
    double m_progress = 0;
    // Written by the GUI thread, read by the worker's polling.
    std::atomic<bool> m_cancel { false };
};
