// Channel configuration records of another computer, asked of its central
// server: a new log whose channels belong to a remote channel source takes
// them from there (the file kind always, the database kinds when the run
// keeps tag columns).
#pragma once
#include "cdxlib/records/chanconfig.h"

// Fills out[0..count-1] with the records of channels first..first+count-1
// of a device prefix (two characters, or one and a NUL), one "CV" request
// per channel ("CV,<prefix>,<channel>"). The reply holds the group's time
// stamp and then the channel's 216-byte record. Returns 0, or -1 when a
// request fails or its reply is too short to hold the record (what was
// filled before stays).
int Log_RequestChannelConfigs(const char* server, const char prefix[2], int first, int count, ChannelConfig* out);
