// The in-process logged-data source: the command client's transport of
// kind 3. When a "server name" is not a server but the location of logged
// data (a path, a "file:" address or a "PROVIDER=" database location), the
// connection answers the central server's requests inside the calling
// process from that data, so that programs that browse logs work as if a
// live server were there.
//
// Locations:
//   /path/to/LOGGER             a directory of ".odl" logs (files)
//   file:///path/to/LOGGER      the same as a file address
//   PROVIDER=...;LoggerName=X   a database location (the kind must be
//                               registered, see logstore.h)
// A location ending "_FAST_LOG" also reads the location without that
// ending as its companion; one ending "FAST_LOG" reads the one ending
// "SLOW_LOG" instead.
//
// Requests answered (replies as the central server gives them):
//   "TS"  the newest record's stamp "%d,%d", a NUL, then the log writer's
//         172-byte time-zone record
//   "QE"  "0" (no devices)
//   "QP"  the number of processors: one per channel prefix of the log, plus
//         the logger status channels ("logst", prefix "LS")
//   "IP," / "TP,"  the processor list: "*,n" for the first n entries, a
//         number k for the k-th, or a name ("USERAA", ..., "logst")
//   "CV," / "RV,"  channel configurations and newest values of a channel
//         list ("QA,1,2,3,QB,5"), binary
//   "TC,"  channel addresses of tags
//   "RS", "BS", "DS", "ES", "WS", "PS", "FS", "XS", "MS"  the source's
//         status and its shared status block
//   "IS", "NS", "5S", "6S"  the logs' companion data (sections, counts,
//         texts)
//   "7S", "8S"  the records and texts of a time window (below)
//   anything else: "0".
// A reply that does not fit the caller's capacity is refused (234).
//
// "7S,a,from,b,to,list,size,records,texts,next,textSize" exports the log's
// records of the window [*from, *to] (each end when its flag a or b is
// non-zero and its stamp given) whole, as the log holds them, into the
// record buffer while they fit, from one log per request; the reply
// "1,<records>,<lines>,<record length>". "8S" (the same fields, then a
// handle of an int32: the most rows wanted, 0 for all) exports rows of the
// listed channels instead, across the logs: per row the record's TimeStamp
// (8 bytes), then per channel a u32 status word (0x20 when the log does
// not hold the channel) and its f32 value; with more records than rows
// wanted every n-th record is taken so that the rows span the window. With
// an empty list the rows carry the web HMI channels (see webhmi.h), to
// which the channels of every "7S"/"8S" list that the log holds are added.
// Its reply: "1,<rows>,<lines>,<channels per row>". Both copy into the
// text buffer the stamped TEXT lines of the window's logs whose stamps lie
// in the window, whole "\r\n" lines while they fit, then a NUL; and write
// into *next the stamp of the first record of the window that did not fit
// (zero when the window is complete), from which the caller goes on.
//
// Buffers of the caller: "6S", "7S" and "8S" carry where to copy. Since the
// source runs in the caller's process, the request names the buffer by a
// handle that the caller got from ReqBuf_Register (cdxlib/client/reqbuffers.h)
// with its size; a number that is not a registered handle, or a size beyond
// the registered one, is refused (87), so a request text can never make the
// source write to an arbitrary address.
#pragma once
#include <cstddef>
#include <cstdint>

struct ServerConnection;
struct SrvTransport;

// The kind-3 transport: Local_Open makes and opens a source on the entry's
// name (1, or 0 with the last error: the open's error, 0 for a database
// location without a logger name); Local_Transact answers one request;
// Local_Close closes the source, waits 1000 ms and frees it.
int Local_Open(ServerConnection* entry);
int Local_Transact(ServerConnection* entry, const void* request, uint32_t length, char* reply,
                   uint32_t* replyLength);
void Local_Close(ServerConnection* entry);
const SrvTransport* Local_Transport();
// Installs it as kind 3 of the command client (Srv_SetTransport).
void Local_InstallTransport();

// Process-wide switch, off at start: when on, every request except "5S" to
// "8S" ends by closing the logs, which the next request opens again.
void Local_SetCloseAfterRequest(int on);

// Sends "OS" to a server with a 16-byte reply: the result of the request.
int SendOsRequest(const char* server);

// The shared status block through which another process sees what the
// sources of this instance read: its name, and its layout.
constexpr const char* kLocalStatusBlockName = "LocalLogSourceStatus";
#pragma pack(push, 1)
struct LocalStatusSlot {
  uint32_t mark;        // 1 when the location below is set
  char location[260];
};
struct LocalStatusBlock {
  int32_t pid;          // the process that claimed it last
  uint32_t tick;        // its tick count (ms) at "XS" / "MS"
  uint32_t flags[2];    // first: claimed ("DS"); second: cleared by "ES"
  uint64_t source;      // the claiming source's reference
  LocalStatusSlot slots[2];
};
#pragma pack(pop)
static_assert(sizeof(LocalStatusSlot) == 264);
static_assert(sizeof(LocalStatusBlock) == 24 + 2 * 264);
