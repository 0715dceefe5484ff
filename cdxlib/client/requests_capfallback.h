// Listing from the capability files of a configuration directory, for the
// processor, device and logger listings when the server does not answer.
//
// The selector is the one of the listing requests: "*,<n>" for the first n
// entries, a number k for the k-th entry (from 1), or a name, matched whole
// or on its first 5 characters without regard to case. At most `capacity`
// entries are filled, whatever the selector asks for.
//
// Counts: the number of entries of the file, or -1 (errno and the last error
// set) when it cannot be opened. Listings: the number of entries filled, -1
// for a file that cannot be opened or a bad selector (87), or -2 when an
// entry does not parse (its error text is in CapFile_ErrorText until the
// thread's next capability-file operation; the reader is left open for it
// and closed by the next listing or CapFile_Close).
#pragma once
#include "cdxlib/config/capfile.h"

int CapList_CountProcessors(const char* configDir);
int CapList_CountDevices(const char* configDir);
int CapList_CountLoggers(const char* configDir);

int CapList_Processors(const char* configDir, const char* selector, ProcessorEntry* entries, int capacity);
int CapList_Devices(const char* configDir, const char* selector, DeviceEntry* entries, int capacity);
int CapList_Loggers(const char* configDir, const char* selector, LoggerEntry* entries, int capacity);

// Fills the entry's number and type text from the configuration of logger
// <name>_<number> in <configDir>/LOGGERS (Cfg_LoadLogger, so ".xml" when
// "ReadXML" asks for it): the number when the configuration reads, and the
// record's name (at most 24 characters) as the type text for the kinds
// "stand", "repub" and "resub". 1 when found; 0, number 0 and an empty text
// when it is missing or does not read (errno and the last error are left as
// they were; an XML file that does not read is reported in the error log as
// by any load).
int Logger_ReadLocalInfo(const char* configDir, int number, LoggerEntry* entry);
