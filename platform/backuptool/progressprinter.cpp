#include "progressprinter.h"

#include <QtGlobal>

#include <cstdio>

ProgressPrinter::ProgressPrinter(const char *job, int total)
    : m_job(job)
    , m_total(total)
{
}

void ProgressPrinter::done(int count)
{
    const int percent = m_total > 0 ? static_cast<int>(qint64(count) * 100 / m_total) : 100;
    if (percent == m_lastPercent)
        return;
    m_lastPercent = percent;
    std::printf("%s: %d%% (%d of %d files)\n", m_job, percent, count, m_total);
    std::fflush(stdout);
}
