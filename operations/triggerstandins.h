// Harmless stand-ins for the functions that a phone's triggers call and that exist only on
// the phone, so that deleting and inserting rows of a device file works on this computer; and
// a switch for the triggers themselves.
#pragma once

class Sqlite3DB;

// Registers, on the open connection, a function that returns 0 and touches nothing for every
// name that a trigger of the file calls and that the connection does not know yet. Throws
// Sqlite3Exception when the file cannot be read.
void registerTriggerStandIns(Sqlite3DB &db);

// Turns the file's triggers off or on for the statements the connection runs from now on;
// the file's schema stays as it is.
void setTriggersEnabled(Sqlite3DB &db, bool enabled);
