// Messages for the event log.
//
// ReportSystemEvent writes to the platform event log (the system log, or the
// text file that the event-log setting selects). The variant that appends to
// a "<product>.log" file belongs to platform id 1 only, and this platform
// always has id 2, so there is none.
#pragma once

// Writes a message to the event log (source: the product name, event id
// 102). server: null or empty for this machine. eventType: 1 error, 2
// warning, 4 information. Never reports failure, and errno and the last
// error are left as they were.
void ReportSystemEvent(const char* server, int eventType, const char* message);
