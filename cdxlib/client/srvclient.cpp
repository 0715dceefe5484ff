// The connection table and the transaction of the command client.
#include "cdxlib/client/srvclient.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <unistd.h>
#include <vector>

#include "cdxlib/client/pipeclient.h"
#include "cdxlib/sys/debugtrace.h"
#include "cdxlib/xml/xmldoc.h"
#include "platform/error.h"
#include "platform/sysinfo.h"
#include "platform/url.h"

namespace {

std::mutex g_tableLock;
ServerConnection* g_table = nullptr;
int g_tableCount = 0;

std::atomic<const SrvTransport*> g_transports[kSrvKindCount] = {nullptr, &kPipeTransport, nullptr, nullptr, nullptr};
thread_local std::string t_xmlText;

bool IEquals(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

// The name used in the table: "." for every local name.
const char* Effective(const char* server) { return Srv_IsLocal(server) ? "." : server; }

void CloseEntry(ServerConnection* e) {
  if (e->kind != kSrvKindClosed && e->transport && e->transport->close) e->transport->close(e);
  e->kind = kSrvKindClosed;
  e->handle = nullptr;
  e->transport = nullptr;
}

void Trace(const char* format, const char* name, const void* request, uint32_t length, int code, bool withCode) {
  const char* r = static_cast<const char*>(request);
  char c0 = length > 0 ? r[0] : ' ', c1 = length > 1 ? r[1] : ' ';
  char line[1400];
  if (withCode) snprintf(line, sizeof line, format, name, code, c0, c1);
  else snprintf(line, sizeof line, format, name, c0, c1);
  Dbg_Log(line);
}

}  // namespace

// ---------------------------------------------------------------- records

void RequestRecord::Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VPrintf(format, args);
  va_end(args);
}

void RequestRecord::VPrintf(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return;
  size_t at = bytes_.size();
  bytes_.resize(at + static_cast<size_t>(n) + 1);
  vsnprintf(bytes_.data() + at, static_cast<size_t>(n) + 1, format, args);
  bytes_.resize(at + static_cast<size_t>(n));
}

void RequestRecord::Append(const void* data, size_t length) {
  bytes_.append(static_cast<const char*>(data), length);
}

namespace {
// A decimal number at reply[*pos] within length: true and its value (saturated).
bool ParseNumber(const char* reply, uint32_t length, uint32_t* pos, long long* value) {
  uint32_t i = *pos;
  bool negative = false;
  if (i < length && (reply[i] == '-' || reply[i] == '+')) {
    negative = reply[i] == '-';
    ++i;
  }
  uint32_t digits = i;
  long long v = 0;
  while (i < length && reply[i] >= '0' && reply[i] <= '9') {
    if (v < 100000000000LL) v = v * 10 + (reply[i] - '0');
    ++i;
  }
  if (i == digits) return false;
  *value = negative ? -v : v;
  *pos = i;
  return true;
}
int Clamp(long long v) { return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v); }
}  // namespace

bool Srv_ParseReply(const char* reply, uint32_t length, ReplyRecord* out) {
  *out = ReplyRecord{};
  if (!reply) return false;
  uint32_t pos = 0;
  while (pos < length && (reply[pos] == ' ' || reply[pos] == '\t')) ++pos;
  long long v = 0;
  if (!ParseNumber(reply, length, &pos, &v)) {
    out->dataOffset = length;
    out->textOffset = length;
    return false;
  }
  out->hasNumber = true;
  out->result = Clamp(v);
  if (pos < length && reply[pos] == ',') ++pos;
  out->dataOffset = pos;
  out->textOffset = length;
  if (out->result == -1) {
    long long code = 0;
    uint32_t p = pos;
    if (p < length && reply[p] != '\0' && ParseNumber(reply, length, &p, &code)) {
      out->errorCode = Clamp(code);
      if (p < length && reply[p] == ',') ++p;
      out->textOffset = p;
    } else {
      out->errorCode = plat::kErrInvalidData;
    }
  }
  return true;
}

// ---------------------------------------------------------------- table

int Srv_InitTable(int count) {
  std::lock_guard<std::mutex> guard(g_tableLock);
  if (g_table) return 1;
  if (count <= 0) return plat::Fail(plat::kErrInvalidParameter), 0;
  g_table = new (std::nothrow) ServerConnection[static_cast<size_t>(count)]();
  if (!g_table) return plat::Fail(plat::kErrNotEnoughMemory), 0;
  g_tableCount = count;
  return 1;
}

const SrvTransport* Srv_SetTransport(int kind, const SrvTransport* transport) {
  if (kind < 1 || kind >= kSrvKindCount) return nullptr;
  return g_transports[kind].exchange(transport);
}

const SrvTransport* Srv_GetTransport(int kind) {
  if (kind < 1 || kind >= kSrvKindCount) return nullptr;
  return g_transports[kind].load();
}

namespace {
// Finds the entry of a name, or claims a free one, under the table lock.
// Never waits for an entry's lock.
ServerConnection* FindOrReserve(const char* name) {
  if (!g_table && !Srv_InitTable(kSrvTableSize)) return nullptr;
  std::lock_guard<std::mutex> guard(g_tableLock);
  ServerConnection* free = nullptr;
  for (int i = 0; i < g_tableCount; ++i) {
    ServerConnection* e = &g_table[i];
    if (e->name[0] == '\0') {
      if (!free) free = e;
      continue;
    }
    if (IEquals(e->name, name)) return e;
  }
  if (!free) return plat::Fail(plat::kErrTooManyOpenFiles), nullptr;
  memcpy(free->name, name, strlen(name) + 1);
  return free;
}
}  // namespace

ServerConnection* Srv_GetConnection(const char* server) {
  const char* name = Effective(server);
  if (strlen(name) >= kSrvNameSize) return plat::Fail(plat::kErrInvalidParameter), nullptr;
  ServerConnection* e = FindOrReserve(name);
  if (!e) return nullptr;
  e->lock.lock();
  if (e->kind != kSrvKindClosed) return e;
  int kind = Srv_GetKind(name);
  const SrvTransport* t = Srv_GetTransport(kind);
  if (!t || !t->open) {
    e->lock.unlock();
    return plat::Fail(plat::kErrNotSupported), nullptr;
  }
  e->handle = nullptr;
  if (!t->open(e)) {
    uint32_t code = plat::GetLastError();
    e->kind = kSrvKindClosed;
    e->handle = nullptr;
    e->lock.unlock();
    plat::Fail(code ? code : plat::kErrGenFailure);
    return nullptr;
  }
  e->kind = kind;
  e->transport = t;
  if (kind == kSrvKindLocal) e->openerThread = static_cast<uint32_t>(gettid());
  return e;
}

void Srv_ReleaseConnection(ServerConnection* entry) {
  if (entry) entry->lock.unlock();
}

int Srv_Connect(const char* server) {
  ServerConnection* e = Srv_GetConnection(server);
  if (!e) return 0;
  Srv_ReleaseConnection(e);
  return 1;
}

int Srv_Dispatch(ServerConnection* entry, const void* request, uint32_t length, char* reply, uint32_t* replyLength) {
  const SrvTransport* t = entry->transport;
  if (entry->kind == kSrvKindClosed || !t || !t->transact) {
    plat::Fail(plat::kErrInvalidHandle);
    return 0;
  }
  if (t->transact(entry, request, length, reply, replyLength)) return 1;
  uint32_t code = plat::GetLastError();
  if (code == 0) code = plat::kErrGenFailure;
  if (entry->kind != kSrvKindLocal) CloseEntry(entry);
  plat::Fail(code);
  return 0;
}

void Srv_CloseAll() {
  // The entries with a name are listed under the table lock, which is
  // released before any entry's lock is taken: a transaction under way may
  // make nested requests (the in-process source reads files through other
  // connections), and those take the table lock while its entry is held.
  // Entries are never freed and keep their names, so the list stays valid.
  std::vector<ServerConnection*> named;
  {
    std::lock_guard<std::mutex> guard(g_tableLock);
    if (!g_table) return;
    named.reserve(static_cast<size_t>(g_tableCount));
    for (int i = 0; i < g_tableCount; ++i)
      if (g_table[i].name[0] != '\0') named.push_back(&g_table[i]);
  }
  for (ServerConnection* e : named) {
    std::lock_guard<std::recursive_mutex> entryGuard(e->lock);
    CloseEntry(e);
  }
}

int Srv_Disconnect(const char*) { return 0; }

int Srv_SetTimeout(const char* server, int32_t milliseconds) {
  const char* name = Effective(server);
  if (strlen(name) >= kSrvNameSize) return plat::Fail(plat::kErrInvalidParameter), 0;
  ServerConnection* e = FindOrReserve(name);
  if (!e) return 0;
  std::lock_guard<std::recursive_mutex> guard(e->lock);
  e->timeout = milliseconds < 0 ? 0 : milliseconds;
  return 1;
}

// ---------------------------------------------------------------- transaction

const char* Srv_LastXmlErrorText() { return t_xmlText.c_str(); }

namespace {
// The requests whose successful reply is binary data without a leading
// number (the channel configuration and values of logged data); their
// builders check those replies themselves.
bool RepliesInBinary(const void* request, uint32_t length) {
  const char* r = static_cast<const char*>(request);
  return length >= 2 && (memcmp(r, "CV", 2) == 0 || memcmp(r, "RV", 2) == 0);
}
}  // namespace

int Srv_Transact(const char* server, const void* request, uint32_t length, char* reply, uint32_t* replyLength) {
  const char* name = Effective(server);
  if (!reply || !replyLength) {
    plat::Fail(plat::kErrInvalidParameter);
    return -1;
  }
  const uint32_t capacity = *replyLength;
  ServerConnection* e = Srv_GetConnection(name);
  if (!e) {
    errno = static_cast<int>(plat::GetLastError());
    *replyLength = 0;
    return -1;
  }
  // A small buffer is received into room of kSrvFailureRoom bytes, so that a
  // failure reply longer than the buffer still gives the server's code and
  // text; the server is told the caller's own capacity.
  char room[kSrvFailureRoom];
  char* buf = capacity < kSrvFailureRoom ? room : reply;
  uint32_t got = capacity < kSrvFailureRoom ? kSrvFailureRoom : capacity;
  e->replyCapacity = capacity;
  const int dispatched = Srv_Dispatch(e, request, length, buf, &got);
  e->replyCapacity = 0;
  if (!dispatched) {
    uint32_t code = plat::GetLastError();
    Trace("<<%s Error %d to %c%c\r\n", name, request, length, static_cast<int>(code), true);
    Srv_ReleaseConnection(e);
    plat::Fail(code);
    *replyLength = 0;
    return -1;
  }
  Srv_ReleaseConnection(e);
  if (got == 0) {
    *replyLength = 0;
    if (capacity > 0) reply[0] = '\0';
    // The trace first: writing it may change errno.
    Trace("<<%s No Result to %c%c\r\n", name, request, length, 0, false);
    plat::Fail(plat::kErrServerNoReply);
    return -1;
  }
  ReplyRecord parsed;
  Srv_ParseReply(buf, got, &parsed);
  const bool failure = parsed.hasNumber && parsed.result == -1;
  // Only a reply of the failure form ("-1" alone, or "-1," and the code) may
  // exceed the caller's buffer: a binary reply may begin with "-1" as well.
  const uint32_t after = parsed.dataOffset;
  const bool failureForm =
      failure && (after >= got || buf[after] == '\0' || (after > 0 && buf[after - 1] == ','));
  if (got > capacity && !failureForm) {
    // A reply that does not fit the caller's buffer: nothing of it is given.
    *replyLength = 0;
    if (capacity > 0) reply[0] = '\0';
    Trace("<<%s Error %d to %c%c\r\n", name, request, length, static_cast<int>(plat::kErrMoreData), true);
    plat::Fail(plat::kErrMoreData);
    return -1;
  }
  // The caller gets the reply, a failure reply cut to its buffer.
  const uint32_t kept = got < capacity ? got : capacity;
  if (buf != reply && kept) memcpy(reply, buf, kept);
  *replyLength = kept;
  if (kept < capacity) reply[kept] = '\0';
  if (failure) {
    uint32_t code = static_cast<uint32_t>(parsed.errorCode);
    if (code == plat::kErrXmlParse) {
      size_t n = 0;
      while (parsed.textOffset + n < got && buf[parsed.textOffset + n] != '\0') ++n;
      t_xmlText.assign(buf + parsed.textOffset, n);
      xml_SetSource("");
      xml_SetContext("");
      xml_SetError(static_cast<int32_t>(code), t_xmlText.c_str());
    }
    plat::Fail(code);
    return -1;
  }
  if (!parsed.hasNumber && !RepliesInBinary(request, length)) {
    // A text reply must begin with its result.
    plat::Fail(plat::kErrInvalidData);
    return -1;
  }
  plat::SetLastError(0);
  return parsed.result;
}

int Srv_SendRequest(const char* server, const char* request, char* reply, uint32_t* replyLength) {
  if (!request) {
    plat::Fail(plat::kErrInvalidParameter);
    return -1;
  }
  return Srv_Transact(server, request, static_cast<uint32_t>(strlen(request) + 1), reply, replyLength);
}
