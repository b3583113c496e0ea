// The interface behind every export format and behind saving into a local database: the
// caller calls begin once, write for each message in list order, and end once.
#pragma once

template <typename T> class AbsFormatExport
{
public:
    virtual ~AbsFormatExport() = default;

    // Opens the target; throws a std::runtime_error when it cannot.
    virtual void begin() = 0;
    virtual void write(T *record) = 0;
    // Completes the target; throws when what was written did not reach it whole.
    virtual void end() = 0;
};
