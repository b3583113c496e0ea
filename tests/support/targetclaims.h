// The claims by which runs hold targets in the program's records (targetlock.h), as the error
// texts of a lock that was not taken name them.
#pragma once

#include <QString>

// The claim this process makes when it locks `target`; empty where it keeps no records.
QString claimOfThisRun(const QString &target);
