#include "toolfault.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <cstdlib>

ToolFault::ToolFault(const PhoneFolder &phone, const char *operation)
    : m_phoneFolder(phone.folder())
{
    const plist_t faults = phone.toolFaults();
    const QString only = stringOf(faults, "Operation");
    if (faults && (only.isEmpty() || only == QLatin1String(operation)))
        m_faults = faults;
}

void ToolFault::beforeFile(int done) const
{
    if (!m_faults)
        return;
    const long long delay = integerOf(m_faults, "FileDelayMs", 0);
    if (delay > 0)
        QThread::msleep(static_cast<unsigned long>(delay));
    if (done != integerOf(m_faults, "AfterFiles", 0))
        return;
    if (boolOf(m_faults, "UntilUnplugged")) {
        QElapsedTimer waited;
        waited.start();
        while (QFileInfo::exists(m_phoneFolder) && waited.elapsed() < 60000)
            QThread::msleep(20);
        std::fprintf(stderr, "ERROR: The device is no longer connected.\n");
        std::exit(1);
    }
    const QString error = stringOf(m_faults, "Error");
    if (!error.isEmpty()) {
        std::fprintf(stderr, "ERROR: %s\n", error.toUtf8().constData());
        std::exit(1);
    }
    if (boolOf(m_faults, "Crash")) {
        std::fflush(stdout);
        std::signal(SIGSEGV, SIG_DFL);
        std::raise(SIGSEGV);
    }
    const long long code = integerOf(m_faults, "ExitCode", 0);
    if (code != 0)
        std::exit(static_cast<int>(code));
}
