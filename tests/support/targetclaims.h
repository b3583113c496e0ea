// The claims by which runs hold targets in the program's records (targetlock.h), as the error
// texts of a lock that was not taken name them.
#pragma once

#include <QString>

// What every claim this process makes on `target` begins with, "<records>/locks/<key>.<run>",
// each claim adding a number of its own; empty where it keeps no records.
QString claimStemOfThisRun(const QString &target);
// `text` with each claim that begins with `stem` named by the stem alone.
QString withClaimStem(QString text, const QString &stem);
