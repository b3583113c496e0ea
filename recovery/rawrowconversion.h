// The column templates of the message and handle tables that the carver searches for, and the
// filters and converters that turn carved or decoded rows of them into records.
#pragma once

#include "records/countrylibdb.h"
#include "records/msgrecords.h"
#include "recovery/sqlite3file.h"

#include <QList>

// iOS 5 `message` templates in the order tried: 33, 32 and 17 columns.
QList<Sqlite3File::Template> messageTemplatesIOS5();
// iOS 6+ `message` templates in the order tried: 38 and 51 columns.
QList<Sqlite3File::Template> messageTemplatesIOS6();
// iOS 6+ `handle`: 5 columns.
Sqlite3File::Template handleTemplateIOS6();

bool acceptRawMessageRowIOS5(const Sqlite3File::Row &row);
bool acceptRawMessageRowIOS6(const Sqlite3File::Row &row);
bool acceptRawHandleRowIOS6(const Sqlite3File::Row &row);

// Each fills the record from the row and returns whether the row is a plausible one; a
// refused record may be partly filled. `nowUnix` is the present in seconds since 1970: rows
// dated after it are refused.
bool rawMessageRowToRecordIOS5(const Sqlite3File::Row &row, ExtMsgRecord &record,
    CountryLibDb &countries, qint64 nowUnix);
bool rawMessageRowToRecordIOS6(const Sqlite3File::Row &row, ExtMsgRecord &record);
bool rawHandleRowToRecordIOS6(
    const Sqlite3File::Row &row, _MsgHandle &handle, CountryLibDb &countries);
