// A misbehaving backup tool for tests, set in the "BackupTool" dictionary of the device's
// faults file:
//   "Operation"   "backup" or "restore": the only job the fault strikes (both when absent)
//   "AfterFiles"  the number of files done before it strikes (0 when absent)
//   "Error"       prints "ERROR: " and the text and exits with 1
//   "ExitCode"    exits with this code without a word
//   "Crash"       true: dies without a word
//   "FileDelayMs" sleeps this long before every file, to leave time for a cancel
//   "UntilUnplugged" true: waits (a minute at most) until the device is unplugged, then fails
//                 as a tool that lost its device does
#pragma once

#include "phonefolder.h"
#include "toolplist.h"

class ToolFault
{
public:
    ToolFault(const PhoneFolder &phone, const char *operation);

    // Before each file, with the number of files done so far.
    void beforeFile(int done) const;

private:
    plist_t m_faults = nullptr;
    QString m_phoneFolder;
};
