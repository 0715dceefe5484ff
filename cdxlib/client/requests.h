// Requests that command and query the central server: data processors
// ("P" codes), devices ("E" codes), loggers ("L" codes), and general
// requests (channel configuration and values, user sessions, the time
// zone). Each builds one request record, sends it through Srv_SendRequest or
// Srv_Transact (srvclient.h) and reads the reply.
//
// Results: the reply's leading number, or -1 with errno and the thread's
// last error at the system error number (the server's code, or the
// transport's). A reply that does not parse (no leading number, no comma
// where data must follow, an entry with too few fields) gives -1 with 13
// (invalid data), as does a count ("QP", "QE", "QL") that is negative or
// larger than its listing could hold (Req_ListingMax).
// A name holding ',', CR or LF would shift the server's fields and is
// refused with 87 before anything is sent.
//
// Commands: a command value of 256 or more is sent as ",<number>"; a letter
// as ",<letter>" upper-cased, and only the letters of its family (processors
// C I R T, devices C I R, loggers F S); another letter gives -1 with errno 0
// and sends nothing.
//
// Listings ("IP", "IE", "IL") take a selector: "*,<n>" for the first n
// entries, "<k>" for the k-th entry, or a name (matched whole or on its
// first 5 characters, letter case aside). They fill at most `capacity`
// entries whatever the server sends. When the count or listing request gets
// no answer (-1: no connection, or a failure reply), DATPROC.TXT, DEVCAP.TXT or LOGCAP.TXT in the server's
// configuration directory answers in its place (requests_capfallback.h);
// an entry of those files that does not parse ends the listing with -2.
// Loggers listed from LOGCAP.TXT take their number (the entry's position)
// and type text from their configuration files in LOGGERS there.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cdxlib/config/capfile.h"
#include "cdxlib/sys/timestamp.h"
#include "platform/timezone.h"

// Reply capacities.
constexpr uint32_t kReqSmallReply = 16;
constexpr uint32_t kReqListReply = 32768;
constexpr uint32_t kReqNameReply = 28;
constexpr uint32_t kReqTimeReply = 272;
constexpr uint32_t kReqSeMax = 32765;  // largest buffer of an "SE" request
constexpr int kReqLoggersMax = 2000;   // loggers held over a reconfiguration
constexpr int kReqIlServerMax = 218;   // "IL,*,n" asks the server up to this n
constexpr size_t kLoggerNameSize = 25;  // a logger name (24 characters) and NUL

// The fewest fields of one entry of the listings "IP", "IE" and "IL".
constexpr int kReqProcessorFields = 5;
constexpr int kReqDeviceFields = 3;
constexpr int kReqLoggerFields = 3;
// The most entries a listing reply can hold: after "1,", entries of at
// least `fields` bytes each (their commas, and the ';' or NUL after each).
// A count request answered with more is refused.
constexpr int Req_ListingMax(int fields) { return static_cast<int>((kReqListReply - 2) / static_cast<uint32_t>(fields)); }

// One item of a processor's "TP" listing: two small numbers and a text (a
// text of up to 30 characters, replaced by the item's fourth field when that
// is not empty).
struct TpItem {
  uint8_t A;
  uint8_t B;
  char Text[255];
};
static_assert(sizeof(TpItem) == 257);
static_assert(offsetof(TpItem, Text) == 2);

// One item of a device's "TE" listing: two small numbers, a 32-bit number
// and a text (as for TpItem, from the fourth and fifth fields).
struct TeItem {
  uint8_t A;
  uint8_t B;
  uint8_t pad_[2];
  int32_t Value;
  char Text[256];
};
static_assert(sizeof(TeItem) == 264);
static_assert(offsetof(TeItem, Value) == 4);
static_assert(offsetof(TeItem, Text) == 8);

// One logger of a "TL" listing (5 to 7 fields).
struct LoggerStateEntry {
  char Name[kLoggerNameSize];
  uint8_t Enabled;  // field 2
  uint8_t A;        // field 3
  uint8_t B;        // field 4
  uint8_t pad_[1];
  uint32_t Value;   // field 5
  char Text[255];   // field 6 (up to 30 characters), replaced by field 7 when not empty
  char pad2_[1];
};
static_assert(sizeof(LoggerStateEntry) == 292);
static_assert(offsetof(LoggerStateEntry, Enabled) == 25);
static_assert(offsetof(LoggerStateEntry, Value) == 32);
static_assert(offsetof(LoggerStateEntry, Text) == 36);

// ---------------------------------------------------------------- replies
// The parsers of the listing replies, over the bytes received (never read
// beyond length; a NUL ends the reply). Each takes the whole reply
// ("1,<entries>"), entries separated by ';'. The number of entries filled
// (at most capacity), or -1 (13) for a reply that does not parse.

int Req_ParseProcessors(const char* reply, uint32_t length, ProcessorEntry* entries, int capacity);
int Req_ParseDevices(const char* reply, uint32_t length, DeviceEntry* entries, int capacity);
int Req_ParseLoggers(const char* reply, uint32_t length, LoggerEntry* entries, int capacity);
int Req_ParseLoggerStates(const char* reply, uint32_t length, LoggerStateEntry* entries, int capacity);
int Req_ParseTpItems(const char* reply, uint32_t length, TpItem* items, int capacity);
int Req_ParseTeItems(const char* reply, uint32_t length, TeItem* items, int capacity);
// "1,<u32>,<u32>,...": n values (the "TC" reply). 0, or -1 (13) when the
// reply is shorter than 2 + 4 n bytes.
int Req_ParseTcValues(const char* reply, uint32_t length, int n, uint32_t* values);
// "<seconds>,<ms>", NUL, then the 172-byte time-zone record (zeroed unless
// all 172 bytes came). 0, or -1 (13) when the text does not parse.
int Req_ParseTimeZone(const char* reply, uint32_t length, TimeStamp* stamp, plat::TimeZoneInformation* zone);

// ---------------------------------------------------------------- processors

int Proc_Command(const char* server, int command, const char* processor);
int Proc_Disable(const char* server, const char* processor);
int Proc_Enable(const char* server, const char* processor);
int Proc_GetCount(const char* server);
int Proc_GetInfo(const char* server, const char* selector, ProcessorEntry* entries, int capacity);
int Proc_RequestTp(const char* server, const char* processor, TpItem* items, int capacity);
// 1 when the registry value "<processor> From Desktop" of the server's
// machine is "ON". Another computer's registry cannot be reached from here:
// 0 for servers that are not this machine.
int Proc_IsFromDesktop(const char* server, const char* processor);

// ---------------------------------------------------------------- devices

int Dev_Command(const char* server, int command, const char* device);
int Dev_Disable(const char* server, const char* device);
int Dev_Enable(const char* server, const char* device);
// "SE,<device>,<size>": at most size bytes of the reply go to the caller's
// buffer (size more than kReqSeMax: -1, nothing sent). *received (may be
// null) gets the bytes copied.
int Dev_RequestSe(const char* server, const char* device, char* reply, uint32_t size, uint32_t* received);
int Dev_GetCount(const char* server);
int Dev_GetInfo(const char* server, const char* selector, DeviceEntry* entries, int capacity);
int Dev_RequestTe(const char* server, const char* device, TeItem* items, int capacity);

// ---------------------------------------------------------------- loggers

int Logger_Command(const char* server, int command, const char* logger);
// "DL,<logger>,<user>", "EL,<logger>,<user>" (the calling process's user).
int Logger_Disable(const char* server, const char* logger);
int Logger_Enable(const char* server, const char* logger);
int Logger_GetCount(const char* server);
int Logger_GetInfo(const char* server, const char* selector, LoggerEntry* entries, int capacity);
// "NL,<number>": on result 1 the name (at most 24 characters) goes to name
// (kLoggerNameSize bytes), else name is empty.
int Logger_GetName(const char* server, int number, char* name);
int Logger_GetList(const char* server, const char* filter, LoggerStateEntry* entries, int capacity);
// A positive result: the logger is in use.
int Logger_RequestRl(const char* server, const char* logger);
int Logger_Rename(const char* server, const char* oldName, const char* newName);
int Logger_RequestYl(const char* server, const char* a, const char* b);
int Logger_RequestXl(const char* server, const char* a, const char* b);
// "LOGGERS\<name>_<number>", in a buffer that the next call overwrites.
const char* Logger_ConfigPath(const char* name, int number);
// 1 when "ReconfigureLoggers" under the product's key of the server's
// machine begins "ON" (letter case aside); 0 otherwise, and for servers on
// other computers (their registry cannot be reached from here).
int Logger_ReconfigureAllowed(const char* server);
// The pair around a reconfiguring command (see Proc_Command): when allowed,
// lists the loggers ("QL", "TL") into a process-wide table and, once the
// question "Do you wish to disable and re-enable loggers" is answered Yes,
// disables the enabled ones; afterwards enables them again and forgets the
// table. 0, or -1.
int Logger_DisableForReconfigure(const char* server);
int Logger_ReenableAfterReconfigure(const char* server);

// The question of the reconfigure pair: returns 1 for Yes, 0 for No. A
// program with a user interface installs one; without, the answer is Yes.
using ReqAskHook = int (*)(const char* text, const char* title);
void Req_SetAskHook(ReqAskHook hook);

// ---------------------------------------------------------------- general

// "CV,<list>" and "RV,<list>": the reply (binary, see the logged-data
// source) in reply; *replyLength: capacity on entry (at most 32768), bytes
// received on return.
int RequestChannelConfig(const char* server, const char* list, char* reply, uint32_t* replyLength);
int SendRvRequest(const char* server, const char* list, char* reply, uint32_t* replyLength);
// "TC,<tags>": n 32-bit values copied from the reply after "1,".
int SendTcRequest(const char* server, const char* tags, int n, uint32_t* values);
// "SV,<name>,<computer>,<user>," then the UTF-16 text with its 0. A name of
// more than 7 characters: 0, nothing sent.
int SendSvRequest(const char* server, const char* name, const char16_t* text);
// "FV,<name>,<value %g with '.'>,<computer>,<user>". A name of more than 7
// characters: 0, nothing sent.
int SendFvRequest(const char* server, const char* name, double value);
int SendDsRequest(const char* server);
// "ES,<user>". For this machine or a pipe server, a processor marked to be
// started from the desktop that is not running here holds the request back
// (errno 0, -1); after a positive reply those processors are started here.
int SendEsRequest(const char* server);
// "BS": the reply's fields after the result go to number, text1 and text2
// (any may be null; sizes include the NUL).
int SendBsRequest(const char* server, int* number, char* text1, size_t size1, char* text2, size_t size2);
int SendRsRequest(const char* server);
int SendAsRequest(const char* server, const char* text);
// The server's clock and time-zone record. This machine (not an in-process
// source): the local clock and zone, result 1. Otherwise "TS".
int GetServerTimeZone(const char* server, TimeStamp* stamp, plat::TimeZoneInformation* zone);
// The access list of the channel groups of every device and processor that
// "CDX_DEVICES" and "CDX_PROCESSORS" allow: "<n>," then per group
// "<display name>,<prefix>,<count>,<access>;" (access 1 writable, 0 readable;
// groups that are neither are left out). A group's file is
// <CDX_CURRENT_CONFIG>/<entity>/<kind name>, with ".xml" added when the
// entity's configuration is read as XML (its extension library exports
// Ex_DoXml and "ReadXML" is on). Cut to size - 1 characters. The number of
// groups, or -1.
int BuildAccessList(const char* server, char* list, size_t size);

// ---------------------------------------------------------------- browsers
// Entry points for programs that browse logged data. The context argument
// is ignored. Requests go only to an in-process source (another server: -1),
// except "5S", which goes to any server. 1 when the result is not -1; a
// failed request clears the out-values.

// Tests the server only, sends nothing: 0 for an in-process source, -1
// otherwise.
int Req_TestServer(void* context, const char* server);
// "FS", "XS", "WS", "PS": 16-byte reply, nothing read.
int Req_SendFs(void* context, const char* server);
int Req_SendXs(void* context, const char* server);
int Req_SendWs(void* context, const char* server);
int Req_SendPs(void* context, const char* server);
// "IS": the number after "1,".
int Req_SendIs(void* context, const char* server, uint32_t* number);
// "NS": "1,<u32>,<int>".
int Req_SendNs(void* context, const char* server, uint32_t* first, int32_t* second);
// "5S,<d>,<u>,<d>,<u>": "1,<u>,<u>,<u>,<u>,<d>".
int Req_Send5s(void* context, const char* server, int32_t a, uint32_t b, int32_t c, uint32_t d, uint32_t out[4],
               int32_t* last);
// "6S,<name>,<address>,<d>": "1,<u>".
int Req_Send6s(void* context, const char* server, const char* name, void* address, int32_t size, uint32_t* out);
// "7S" (10 fields) and "8S" (11 fields): "1,<u>,<u>,<d>", the records (or
// rows) and text lines copied and the record length (or channels per row).
// a and b: whether the start stamp *p1 and the end stamp *p2 (TimeStamp)
// are given; p3: a channel list text ("QA,1,2,QB,5"); p4: the record or row
// buffer of c bytes; p5: the text buffer of d bytes; p6: a TimeStamp that
// gets where the window goes on (zero when it is complete); p7 ("8S"): an
// int32 of the most rows wanted (0 all). Each goes to the in-process source
// as a handle registered for exactly its size (ReqBuf_Register), never as
// an address; a null pointer is sent as 0. The layouts are in
// logdata/localsource.h.
int Req_Send7s(void* context, const char* server, int32_t a, void* p1, int32_t b, void* p2, void* p3, uint32_t c,
               void* p4, void* p5, void* p6, int32_t d, uint32_t* o1, uint32_t* o2, int32_t* o3);
int Req_Send8s(void* context, const char* server, int32_t a, void* p1, int32_t b, void* p2, void* p3, int32_t c,
               void* p4, void* p5, void* p6, int32_t d, void* p7, uint32_t* o1, uint32_t* o2, int32_t* o3);
// "MS,<u>".
int Req_SendMs(void* context, const char* server, uint32_t number);
// Forwards.
int Req_SendDs(void* context, const char* server);
int Req_SendEs(void* context, const char* server);
int Req_SendCv(void* context, const char* server, const char* list, char* reply, uint32_t* replyLength);
int Req_SendRv(void* context, const char* server, const char* list, char* reply, uint32_t* replyLength);
int Req_SendTc(void* context, const char* server, const char* tags, int n, uint32_t* values);
int Req_SendFv(void* context, const char* server, const char* name, double value);
int Req_SendTs(void* context, const char* server, TimeStamp* stamp, plat::TimeZoneInformation* zone);
int Req_BuildAccessList(void* context, const char* server, char* list, size_t size);
