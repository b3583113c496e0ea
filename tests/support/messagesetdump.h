// Every record of a message set as text, one line each with all fields and links, so that
// two loads of a database can be compared whole.
#pragma once

#include "records/msgrecords.h"

#include <QStringList>

QStringList messageSetLines(const MsgMessageSet &set);
