// The backup tool's progress lines on standard output, one whenever the percentage moves.
// They name no files: a file name could hold the word the driver takes for a failure.
#pragma once

class ProgressPrinter
{
public:
    ProgressPrinter(const char *job, int total);

    void done(int count);

private:
    const char *m_job;
    int m_total;
    int m_lastPercent = -1;
};
