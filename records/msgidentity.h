// How records get their identities and how messages are ordered: GUIDs, group chat
// identifiers, the attributed body of an attachment message, record dates and sorting.
#pragma once

#include "records/msgrecords.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// Seconds between 1970-01-01 and 2001-01-01, the epoch of record dates.
constexpr qint64 RecordEpochOffset = 978307200;

// A new random GUID: 36 upper-case characters, 8-4-4-4-12.
QString makeGuid();
// A GUID-shaped text from the MD5 of the bytes; equal bytes give equal text.
QString makeGuidFromData(const QByteArray &data);
// "chat" and 18 digits derived from the seed.
QString makeGroupChatIdentifier(const QString &seed);
// The typedstream attributedBody of a message made of one attachment placeholder.
QByteArray makeAttributedBody(const QString &guid);
// Stored times of the iOS 6+ layout are seconds since 2001 in older files and nanoseconds
// since 2001 in those of iOS 11 and later. A magnitude of 10^11 or more cannot be seconds
// (that is past the year 5000), so it is taken as nanoseconds. Every reader of stored times
// goes through recordDateFromStored; writers keep the unit the file already uses.
constexpr qint64 NanosecondTimeThreshold = Q_INT64_C(100000000000);
bool isNanosecondTime(qint64 stored);
// The record date (seconds since 2001, clamped to 32 bits) of a stored time of either unit.
qint32 recordDateFromStored(qint64 stored);
// The stored form of a record date in the unit of the file.
qint64 storedTimeFromRecord(qint32 date, bool nanoseconds);
// The local date-time of a record date.
QDateTime dateTimeFromTime(qint32 date);

// True when a goes before b. Close rows keep their storage order unless their dates differ
// by more than two minutes; distant rows follow their dates. This relation is not
// transitive, so never hand it to std::sort: use sortMessages.
bool compareMessages(const _MsgMessage *a, const _MsgMessage *b);
// The reverse order: compareMessages(b, a).
bool compareMessagesDesc(const _MsgMessage *a, const _MsgMessage *b);

typedef bool (*MessageLess)(const _MsgMessage *, const _MsgMessage *);
// A stable merge sort that stays well defined for relations that are not strict weak
// orders; for inputs the relation orders consistently it gives that order.
void sortMessages(MsgMessageList &list, MessageLess less);
// Ascending with compareMessages, or descending with compareMessagesDesc.
void sortMessages(MsgMessageList &list, bool descending = false);

namespace msgidentity_detail {
// The decimal text of |w0 ^ w1 ^ w2 ^ w3| for the four little-endian words of a digest.
QString digestWordsText(const QByteArray &digest);
}
