// The channel configuration records of a log block: the caller's, those of
// another computer asked of its central server, or this computer's own from
// the drivers' channel configuration modules. Every kind of log (the file,
// ADO and MariaDB kinds) takes a new log's channel records through here.
#pragma once
#include <vector>

#include "cdxlib/records/chanconfig.h"
#include "logdata/logformat.h"

// Fills out[0..count-1] with the records of channels first..first+count-1
// of a device prefix (two characters, or one and a NUL), one "CV" request
// per channel ("CV,<prefix>,<channel>"). The reply holds the group's time
// stamp and then the channel's 216-byte record. Returns 0, or -1 when a
// request fails or its reply is too short to hold the record (what was
// filled before stays).
int Log_RequestChannelConfigs(const char* server, const char prefix[2], int first, int count, ChannelConfig* out);

// The records of channels first..first+count-1 of a device prefix in this
// computer's channel configuration module, read under the module's lock.
// Channel k's record lies (k - 1) x 216 bytes into the module's data; a
// channel that has no record there (channel 0, or one past the module's
// data) gets a cleared record. 0, or -1 with the last error 2 when the
// module cannot be opened (or the lock's error when it cannot be locked).
int Log_ReadLocalChannelConfigs(const char prefix[2], int first, int count, ChannelConfig* out);

// The records of a log block's channels, first to last (out is sized to the
// block's channel count), taken in this order of choice:
// - given: the caller's records of the block, from its first channel on;
// - when a server is named that is not this computer: its central server's
//   ("CV" requests) when askServer holds, else none;
// - this computer's channel configuration module of the block's prefix.
// Returns 1 when out holds the records; 0 when there are none to take
// (another computer's channels and askServer false; out is cleared); -1
// when there is no module here (last error 2); -2 when a request to the
// server failed (its error, or 13 for a reply without the record).
int Log_BlockChannelConfigs(const LogBlockDescriptor& block, const ChannelConfig* given, const char* server,
                            bool askServer, std::vector<ChannelConfig>* out);
