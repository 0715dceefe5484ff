// Processor, device, logger and general requests of the command client.
#include "cdxlib/client/requests.h"
#include "cdxlib/client/reqbuffers.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <mutex>
#include <string>
#include <strings.h>
#include <vector>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/client/driverstart.h"
#include "cdxlib/client/replyfields.h"
#include "cdxlib/client/requests_capfallback.h"
#include "cdxlib/client/srvclient.h"
#include "cdxlib/config/xmlconfig.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/config/accesslists.h"
#include "cdxlib/sys/logicaldirs.h"
#include "cdxlib/sys/numformat.h"
#include "cdxlib/sys/registry.h"
#include "cdxlib/sys/timestamp.h"
#include "platform/error.h"
#include "platform/registry.h"
#include "platform/sysinfo.h"

using namespace reqfields;

namespace {

constexpr const char* kServerKey = "SOFTWARE\\Quillomatic\\Coordinatrix";

// ---------------------------------------------------------------- helpers

int BadParameter() {
  plat::Fail(plat::kErrInvalidParameter);
  errno = plat::kErrInvalidParameter;
  return -1;
}

// A name field: present, and without the characters that would shift the
// server's fields.
bool FieldOk(const char* s) { return s && !strpbrk(s, ",\r\n"); }
bool TextOk(const char* s) { return s && !strpbrk(s, "\r\n"); }

// A text request with a reply of `capacity` bytes; the reply bytes in *out
// when wanted.
int Send(const char* server, const std::string& request, uint32_t capacity, std::string* out = nullptr) {
  std::vector<char> reply(capacity + 1, '\0');
  uint32_t length = capacity;
  int rc = Srv_SendRequest(server, request.c_str(), reply.data(), &length);
  if (out) out->assign(reply.data(), length);
  return rc;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  RequestRecord r;
  va_list args;
  va_start(args, format);
  r.VPrintf(format, args);
  va_end(args);
  return r.Bytes();
}

// The number of entries that a selector can ask for.
int SelectorLimit(const char* selector) {
  if (selector && selector[0] == '*' && selector[1] == ',') {
    long n = strtol(selector + 2, nullptr, 10);
    return n < 0 ? 0 : n > 1000000 ? 1000000 : static_cast<int>(n);
  }
  return 1;
}

// Room for the entries of a count reply: a listing reply of kReqListReply
// bytes holds fewer entries than it has bytes, so a larger count (from a
// confused server) is not believed.
int ListRoom(int count) { return count < static_cast<int>(kReqListReply) ? count : static_cast<int>(kReqListReply); }

int Limit(const char* selector, int capacity) {
  int n = SelectorLimit(selector);
  return capacity < n ? capacity : n;
}

// The server's configuration directory for the capability-file fallback.
const char* ConfigDir(const char* server) { return Srv_GetDirectory(server, "CDX_CURRENT_CONFIG"); }

// A reply that the server sent but that does not begin with a number
// (Srv_Transact failed it with 13): the server answered, so the capability
// files do not answer in its place.
bool NotAReply(const std::string& reply) {
  ReplyRecord parsed;
  return !reply.empty() && !Srv_ParseReply(reply.data(), static_cast<uint32_t>(reply.size()), &parsed);
}

// A count request ("QP", "QE", "QL"). Without an answer from the server (no
// connection, or a failure reply) the capability file of its configuration
// directory counts. A count that no listing of `fields` fields per entry
// could hold is refused (13).
int Count(const char* server, const char* request, uint32_t capacity, int fields, int (*fromFile)(const char*)) {
  std::string reply;
  int rc = Send(server, request, capacity, &reply);
  if (rc == -1) {
    if (NotAReply(reply)) return -1;
    const char* dir = ConfigDir(server);
    return dir ? fromFile(dir) : -1;
  }
  if (rc < 0 || rc > Req_ListingMax(fields)) return Invalid();
  return rc;
}

// A listing request ("IP", "IE") of the entries that `selector` names, at
// most `capacity`. Without an answer from the server the capability file of
// its configuration directory lists them, as for the counts.
template <typename Entry>
int Listing(const char* server, const char* code, const char* selector, Entry* entries, int capacity,
            int (*parse)(const char*, uint32_t, Entry*, int),
            int (*fromFile)(const char*, const char*, Entry*, int)) {
  if (!selector || !TextOk(selector) || capacity < 0 || (capacity > 0 && !entries)) return BadParameter();
  std::string reply;
  int rc = Send(server, std::string(code) + selector, kReqListReply, &reply);
  if (rc == -1) {
    if (NotAReply(reply)) return -1;
    const char* dir = ConfigDir(server);
    return dir ? fromFile(dir, selector, entries, capacity) : -1;
  }
  return parse(reply.data(), static_cast<uint32_t>(reply.size()), entries, Limit(selector, capacity));
}

// A list request that only the server answers ("TP", "TE", "TL"): the items
// of one processor or device, or the loggers' states, at most `capacity`.
template <typename Item>
int ItemList(const char* server, const char* code, const char* name, Item* items, int capacity,
             int (*parse)(const char*, uint32_t, Item*, int)) {
  if (!TextOk(name) || capacity < 0 || (capacity > 0 && !items)) return BadParameter();
  std::string reply;
  int rc = Send(server, std::string(code) + name, kReqListReply, &reply);
  if (rc == -1) return -1;
  return parse(reply.data(), static_cast<uint32_t>(reply.size()), items, capacity);
}

// Every processor or device of the server (its count, then a listing of
// that many), for the requests that walk them all; none when either fails.
template <typename Entry>
std::vector<Entry> ListAll(const char* server, int (*count)(const char*),
                           int (*info)(const char*, const char*, Entry*, int)) {
  std::vector<Entry> all;
  const int n = ListRoom(count(server));
  if (n <= 0) return all;
  all.resize(static_cast<size_t>(n));
  const int got = info(server, Format("*,%d", n).c_str(), all.data(), n);
  all.resize(static_cast<size_t>(got < 0 ? 0 : got > n ? n : got));
  return all;
}

// A command suffix: ",<number>" for 256 and more, ",<letter>" for a letter
// of the family; false for another letter.
bool CommandSuffix(int command, const char* letters, std::string* out, char* letter) {
  if (command >= 256) {
    *out = Format(",%d", command);
    *letter = 0;
    return true;
  }
  int c = toupper(static_cast<unsigned char>(command));
  if (command <= 0 || !strchr(letters, c)) return false;
  *out = Format(",%c", c);
  *letter = static_cast<char>(c);
  return true;
}

int NoCommand() {
  errno = 0;
  plat::SetLastError(0);
  return -1;
}

// A processor or device command. A reconfiguring one is sent between the
// loggers' hold and their release (when the server's switch asks for it);
// the command's own errno and last error outlive the release.
int SendCommand(const char* server, const std::string& request, bool reconfigure) {
  if (reconfigure && Logger_DisableForReconfigure(server) != 0) return -1;
  int rc = Send(server, request, kReqSmallReply);
  if (reconfigure) {
    int keepErrno = errno;
    uint32_t keepLast = plat::GetLastError();
    if (Logger_ReenableAfterReconfigure(server) != 0) return -1;
    errno = keepErrno;
    plat::SetLastError(keepLast);
  }
  return rc;
}

// "XX,<name>" with errno cleared first.
int NameRequest(const char* server, const char* code, const char* name) {
  if (!FieldOk(name)) return BadParameter();
  errno = 0;
  return Send(server, Format("%s,%s", code, name), kReqSmallReply);
}

// A registry value of this machine's product key that begins "ON".
bool LocalSwitchOn(const char* server, const char* valueName) {
  if (!Srv_IsLocal(server)) return false;  // another computer's registry is not reachable from here
  char buf[64] = {};
  uint32_t type = 0, size = sizeof buf - 1;
  if (Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, kServerKey, plat::KEY_QUERY_VALUE, valueName, &type, buf, &size) != 0)
    return false;
  buf[size < sizeof buf ? size : sizeof buf - 1] = '\0';
  return strncasecmp(buf, "ON", 2) == 0;
}

std::atomic<ReqAskHook> g_ask{nullptr};

// The loggers held over a reconfiguring command.
std::mutex g_reconfigLock;
std::vector<LoggerStateEntry> g_heldLoggers;
bool g_holding = false;

bool InProcess(const char* server) { return Srv_GetKind(server) == kSrvKindLocal; }

// A reply's data after "1," as a NUL-ended text (for sscanf).
std::string ReplyData(const std::string& reply) {
  std::string data;
  return DataAfterComma(reply, &data) ? data : std::string();
}

}  // namespace

// ---------------------------------------------------------------- processors

int Proc_Command(const char* server, int command, const char* processor) {
  if (!FieldOk(processor)) return BadParameter();
  std::string suffix;
  char letter = 0;
  if (!CommandSuffix(command, "CIRT", &suffix, &letter)) return NoCommand();
  return SendCommand(server, Format("CP,%s", processor) + suffix, letter == 'C' || letter == 'T');
}

int Proc_Disable(const char* server, const char* processor) { return NameRequest(server, "DP", processor); }
int Proc_Enable(const char* server, const char* processor) { return NameRequest(server, "EP", processor); }

int Proc_GetCount(const char* server) {
  return Count(server, "QP,", kReqListReply, kReqProcessorFields, CapList_CountProcessors);
}

int Proc_GetInfo(const char* server, const char* selector, ProcessorEntry* entries, int capacity) {
  return Listing(server, "IP,", selector, entries, capacity, Req_ParseProcessors, CapList_Processors);
}

int Proc_RequestTp(const char* server, const char* processor, TpItem* items, int capacity) {
  return ItemList(server, "TP,", processor, items, capacity, Req_ParseTpItems);
}

int Proc_IsFromDesktop(const char* server, const char* processor) {
  if (!processor) return 0;
  char value[64];
  snprintf(value, sizeof value, "%s From Desktop", processor);
  if (!Srv_IsLocal(server)) return 0;
  char buf[16] = {};
  uint32_t type = 0, size = sizeof buf - 1;
  if (Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, kServerKey, plat::KEY_QUERY_VALUE, value, &type, buf, &size) != 0)
    return 0;
  buf[size < sizeof buf ? size : sizeof buf - 1] = '\0';
  return strcasecmp(buf, "ON") == 0 ? 1 : 0;
}

// ---------------------------------------------------------------- devices

int Dev_Command(const char* server, int command, const char* device) {
  if (!FieldOk(device)) return BadParameter();
  std::string suffix;
  char letter = 0;
  if (!CommandSuffix(command, "CIR", &suffix, &letter)) return NoCommand();
  return SendCommand(server, Format("CE,%s", device) + suffix, letter == 'C');
}

int Dev_Disable(const char* server, const char* device) { return NameRequest(server, "DE", device); }
int Dev_Enable(const char* server, const char* device) { return NameRequest(server, "EE", device); }

int Dev_RequestSe(const char* server, const char* device, char* reply, uint32_t size, uint32_t* received) {
  if (received) *received = 0;
  if (size > kReqSeMax || !FieldOk(device) || (size > 0 && !reply)) return BadParameter();
  errno = 0;
  // The reply may be 3 bytes longer than the caller's buffer: it is received
  // here and cut to the buffer.
  std::string got;
  int rc = Send(server, Format("SE,%s,%u", device, size), size + 3, &got);
  uint32_t n = got.size() < size ? static_cast<uint32_t>(got.size()) : size;
  if (n) memcpy(reply, got.data(), n);
  if (n < size) reply[n] = '\0';
  if (received) *received = n;
  return rc;
}

int Dev_GetCount(const char* server) {
  return Count(server, "QE,", kReqListReply, kReqDeviceFields, CapList_CountDevices);
}

int Dev_GetInfo(const char* server, const char* selector, DeviceEntry* entries, int capacity) {
  return Listing(server, "IE,", selector, entries, capacity, Req_ParseDevices, CapList_Devices);
}

int Dev_RequestTe(const char* server, const char* device, TeItem* items, int capacity) {
  return ItemList(server, "TE,", device, items, capacity, Req_ParseTeItems);
}

// ---------------------------------------------------------------- loggers

int Logger_Command(const char* server, int command, const char* logger) {
  if (!FieldOk(logger)) return BadParameter();
  std::string suffix;
  char letter = 0;
  if (!CommandSuffix(command, "FS", &suffix, &letter)) return NoCommand();
  return Send(server, Format("CL,%s", logger) + suffix, kReqSmallReply);
}

int Logger_Disable(const char* server, const char* logger) {
  if (!FieldOk(logger)) return BadParameter();
  return Send(server, Format("DL,%s,%s", logger, plat::UserName().c_str()), kReqSmallReply);
}

int Logger_Enable(const char* server, const char* logger) {
  if (!FieldOk(logger)) return BadParameter();
  return Send(server, Format("EL,%s,%s", logger, plat::UserName().c_str()), kReqSmallReply);
}

int Logger_GetCount(const char* server) {
  return Count(server, "QL", kReqSmallReply, kReqLoggerFields, CapList_CountLoggers);
}

int Logger_GetInfo(const char* server, const char* selector, LoggerEntry* entries, int capacity) {
  if (!selector || !TextOk(selector) || capacity < 0 || (capacity > 0 && !entries)) return BadParameter();
  // A list longer than a reply can hold comes from LOGCAP.TXT at once.
  const bool tooLong = selector[0] == '*' && selector[1] == ',' &&
                       static_cast<long long>(SelectorLimit(selector)) * 150 > static_cast<long long>(kReqListReply) - 1;
  if (!tooLong) {
    std::string reply;
    int rc = Send(server, std::string("IL,") + selector, kReqListReply, &reply);
    if (rc != -1)
      return Req_ParseLoggers(reply.data(), static_cast<uint32_t>(reply.size()), entries, Limit(selector, capacity));
    if (NotAReply(reply)) return -1;
  }
  const char* dir = ConfigDir(server);
  return dir ? CapList_Loggers(dir, selector, entries, capacity) : -1;
}

int Logger_GetName(const char* server, int number, char* name) {
  if (!name) return BadParameter();
  name[0] = '\0';
  std::string reply;
  int rc = Send(server, Format("NL,%d", number), kReqNameReply, &reply);
  if (rc == 1) {
    std::string data;
    if (DataAfterComma(reply, &data)) CopyText(name, kLoggerNameSize, data);
  }
  return rc;
}

int Logger_GetList(const char* server, const char* filter, LoggerStateEntry* entries, int capacity) {
  return ItemList(server, "TL,", filter, entries, capacity, Req_ParseLoggerStates);
}

int Logger_RequestRl(const char* server, const char* logger) {
  if (!FieldOk(logger)) return BadParameter();
  return Send(server, std::string("RL,") + logger, kReqSmallReply);
}

int Logger_Rename(const char* server, const char* oldName, const char* newName) {
  if (!FieldOk(oldName) || !FieldOk(newName)) return BadParameter();
  return Send(server, Format("ML,%s,%s", oldName, newName), kReqSmallReply);
}

int Logger_RequestYl(const char* server, const char* a, const char* b) {
  if (!FieldOk(a) || !FieldOk(b)) return BadParameter();
  return Send(server, Format("YL,%s,%s", a, b), kReqSmallReply);
}

int Logger_RequestXl(const char* server, const char* a, const char* b) {
  if (!FieldOk(a) || !FieldOk(b)) return BadParameter();
  return Send(server, Format("XL,%s,%s", a, b), kReqSmallReply);
}

const char* Logger_ConfigPath(const char* name, int number) {
  static thread_local char path[300];
  snprintf(path, sizeof path, "LOGGERS\\%s_%d", name ? name : "", number);
  return path;
}

int Logger_ReconfigureAllowed(const char* server) { return LocalSwitchOn(server, "ReconfigureLoggers") ? 1 : 0; }

void Req_SetAskHook(ReqAskHook hook) { g_ask.store(hook); }

int Logger_DisableForReconfigure(const char* server) {
  if (!Logger_ReconfigureAllowed(server)) return 0;
  std::lock_guard<std::mutex> guard(g_reconfigLock);
  g_heldLoggers.clear();
  g_holding = false;
  int n = Logger_GetCount(server);
  if (n == 0) return 0;  // nothing to hold
  if (n < 0 || n > kReqLoggersMax) return n < 0 ? -1 : BadParameter();
  std::vector<LoggerStateEntry> table(static_cast<size_t>(n));
  int got = Logger_GetList(server, Format("*,%d", n).c_str(), table.data(), n);
  if (got < 0) return -1;
  table.resize(static_cast<size_t>(got));
  bool anyEnabled = false;
  for (const auto& e : table) anyEnabled = anyEnabled || e.Enabled;
  g_heldLoggers = table;
  g_holding = true;
  if (!anyEnabled) return 0;
  ReqAskHook ask = g_ask.load();
  if (ask && !ask("Do you wish to disable and re-enable loggers", "Reconfigure Loggers")) return 0;
  for (size_t i = 0; i < table.size(); ++i) {
    if (!table[i].Enabled) continue;
    if (Logger_Disable(server, table[i].Name) == -1) {
      // Those already disabled are enabled again: a failed reconfiguration
      // leaves no logger stopped.
      int keepErrno = errno;
      uint32_t keepLast = plat::GetLastError();
      for (size_t j = 0; j < i; ++j)
        if (table[j].Enabled) Logger_Enable(server, table[j].Name);
      g_heldLoggers.clear();
      g_holding = false;
      errno = keepErrno;
      plat::SetLastError(keepLast);
      return -1;
    }
  }
  return 0;
}

int Logger_ReenableAfterReconfigure(const char* server) {
  std::lock_guard<std::mutex> guard(g_reconfigLock);
  if (!g_holding) return 0;
  std::vector<LoggerStateEntry> table;
  table.swap(g_heldLoggers);
  g_holding = false;
  // Every held logger is enabled again even when one of them fails: the
  // result is the first failure.
  int rc = 0, keepErrno = 0;
  uint32_t keepLast = 0;
  for (const auto& e : table) {
    if (!e.Enabled || Logger_Enable(server, e.Name) != -1 || rc == -1) continue;
    rc = -1;
    keepErrno = errno;
    keepLast = plat::GetLastError();
  }
  if (rc == -1) {
    errno = keepErrno;
    plat::SetLastError(keepLast);
  }
  return rc;
}

// ---------------------------------------------------------------- general

namespace {
// The binary replies begin with a time stamp, not a number: bytes that
// merely begin "-1" are data. Only an empty reply (the transport failed) or
// a failure text ("-1" alone or "-1," and the code) is a failure.
int Binary(const char* server, const char* code, const char* list, char* reply, uint32_t* replyLength) {
  if (!list || !TextOk(list) || !reply || !replyLength) return BadParameter();
  if (*replyLength > kReqListReply) *replyLength = kReqListReply;
  int rc = Srv_SendRequest(server, (std::string(code) + list).c_str(), reply, replyLength);
  const uint32_t n = *replyLength;
  if (rc == -1 && n >= 3 && reply[2] != ',' && reply[2] != '\0') {
    errno = 0;
    plat::SetLastError(0);
    return 0;
  }
  return rc;
}

// The request text of "SV" and "FV" sends the computer and user name.
std::string Who() { return plat::ComputerName() + "," + plat::UserName(); }

std::string FormatG(double value) {
  static locale_t c = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  locale_t before = uselocale(c);
  char buf[64];
  snprintf(buf, sizeof buf, "%g", value);
  uselocale(before);
  return buf;
}
}  // namespace

int RequestChannelConfig(const char* server, const char* list, char* reply, uint32_t* replyLength) {
  return Binary(server, "CV,", list, reply, replyLength);
}

int SendRvRequest(const char* server, const char* list, char* reply, uint32_t* replyLength) {
  return Binary(server, "RV,", list, reply, replyLength);
}

int SendTcRequest(const char* server, const char* tags, int n, uint32_t* values) {
  if (!tags || !TextOk(tags) || n < 0 || (n > 0 && !values)) return BadParameter();
  std::string reply;
  int rc = Send(server, std::string("TC,") + tags, kReqListReply, &reply);
  if (rc == -1) return -1;
  if (Req_ParseTcValues(reply.data(), static_cast<uint32_t>(reply.size()), n, values) != 0) return -1;
  return rc;
}

int SendSvRequest(const char* server, const char* name, const char16_t* text) {
  if (!name || strlen(name) > 7) return 0;
  if (!FieldOk(name) || !text) return BadParameter();
  RequestRecord r;
  r.Printf("SV,%s,%s,", name, Who().c_str());
  size_t n = 0;
  while (text[n]) ++n;
  for (size_t i = 0; i <= n; ++i) {
    const unsigned char le[2] = {static_cast<unsigned char>(text[i] & 0xFF), static_cast<unsigned char>(text[i] >> 8)};
    r.Append(le, 2);
  }
  if (r.Length() > kSrvMaxRequest) return BadParameter();
  char reply[kReqSmallReply + 1];
  uint32_t length = kReqSmallReply;
  return Srv_Transact(server, r.Data(), r.Length(), reply, &length);
}

int SendFvRequest(const char* server, const char* name, double value) {
  if (!name || strlen(name) > 7) return 0;
  if (!FieldOk(name)) return BadParameter();
  return Send(server, Format("FV,%s,%s,%s", name, FormatG(value).c_str(), Who().c_str()), kReqSmallReply);
}

int SendDsRequest(const char* server) { return Send(server, "DS," + plat::UserName(), kReqSmallReply); }

int SendEsRequest(const char* server) {
  // Processors started from the desktop of this machine.
  std::vector<std::string> toStart;
  const bool local = Srv_IsLocal(server) != 0;
  if (local || Srv_GetKind(server) == kSrvKindPipe) {
    for (const ProcessorEntry& proc : ListAll(server, Proc_GetCount, Proc_GetInfo)) {
      char name[sizeof proc.Name + 1] = {};
      memcpy(name, proc.Name, sizeof proc.Name);
      if (!proc.Flag || !Proc_IsFromDesktop(server, name)) continue;
      DriverRecord* rec = Drv_FindDriver(name);
      if (!rec) return NoCommand();  // not known here: the session cannot start it
      if (rec->pid == 0) toStart.push_back(name);
    }
  }
  int rc = Send(server, "ES," + plat::UserName(), kReqSmallReply);
  if (rc > 0 && local) {
    for (const std::string& name : toStart)
      if (DriverRecord* rec = Drv_FindDriver(name.c_str())) Drv_StartDriver(rec);
  }
  return rc;
}

int SendBsRequest(const char* server, int* number, char* text1, size_t size1, char* text2, size_t size2) {
  if (number) *number = 0;
  if (text1 && size1) text1[0] = '\0';
  if (text2 && size2) text2[0] = '\0';
  std::string reply;
  int rc = Send(server, "BS", kReqListReply, &reply);
  if (rc == -1) return -1;
  std::string data;
  if (DataAfterComma(reply, &data)) {
    std::vector<std::string> f = Split(data, ',');
    if (number) *number = static_cast<int>(NumberOr(f[0], 0));
    if (text1 && f.size() > 1) CopyText(text1, size1, f[1]);
    if (text2 && f.size() > 2) CopyText(text2, size2, f[2]);
  }
  return rc;
}

int SendRsRequest(const char* server) { return Send(server, "RS", kReqSmallReply); }

int SendAsRequest(const char* server, const char* text) {
  if (!TextOk(text)) return BadParameter();
  return Send(server, std::string("AS,") + text, kReqSmallReply);
}

int GetServerTimeZone(const char* server, TimeStamp* stamp, plat::TimeZoneInformation* zone) {
  if (Srv_IsLocal(server) && Srv_GetKind(server) != kSrvKindLocal) {
    TimeStamp now;
    Time_NowLocal(&now);
    if (stamp) *stamp = now;
    if (zone && plat::GetTimeZoneInformation(zone) != 0) return -1;
    return 1;
  }
  char reply[kReqTimeReply + 1] = {};
  uint32_t length = kReqTimeReply;
  int rc = Srv_SendRequest(server, "TS", reply, &length);
  if (rc == -1) return -1;
  if (Req_ParseTimeZone(reply, length, stamp, zone) != 0) return -1;
  return rc;
}

int BuildAccessList(const char* server, char* list, size_t size) {
  if (!list || size == 0) return BadParameter();
  list[0] = '\0';
  const char* root = ConfigDir(server);
  if (!root) return -1;
  const std::string dir = root;
  const bool tarvi = strcasecmp(Prod_GetProductName(), "Tarvi") == 0;
  std::string items;
  int count = 0;
  auto add = [&](const char* entity, const char* printName, int kind, const char prefix[2], int channels) {
    // The group's file is the XML one when the entity's configuration is
    // read as XML: its extension library offers XML and "ReadXML" is on.
    const std::string entityDir = dir + "/" + entity;
    const bool xml = ExtDll_HasDoXml(entityDir.c_str()) && XmlOpt_ReadXml(entityDir.c_str()) == 1;
    std::string path = entityDir + "/" + Chan_KindName(kind) + (xml ? ".xml" : "");
    int access = Cfg_CanAccessFile(path.c_str(), kGenericWrite) ? 1 : Cfg_CanAccessFile(path.c_str(), kGenericRead) ? 0 : -1;
    if (access < 0) return;
    std::string display = std::string(printName) + " " + Num_ChannelGroupTitle(kind);
    if (tarvi) display += Format(" (%.2s)", prefix);
    items += Format("%s,%.2s,%1d,%1d;", display.c_str(), prefix, channels, access);
    ++count;
  };
  for (const DeviceEntry& dev : ListAll(server, Dev_GetCount, Dev_GetInfo)) {
    if (!Cfg_InEnvList("CDX_DEVICES", dev.Name)) continue;
    for (int k = 0; k < kDevRangesMax; ++k)
      if (dev.Ranges[k].Count) add(dev.Name, dev.PrintName, k, dev.Ranges[k].Prefix, dev.Ranges[k].Count);
  }
  for (const ProcessorEntry& proc : ListAll(server, Proc_GetCount, Proc_GetInfo)) {
    if (!proc.Prefix[0] || !proc.Count || !Cfg_InEnvList("CDX_PROCESSORS", proc.Name)) continue;
    add(proc.Name, proc.Description, proc.Kind == kProcKindAnalog ? kKindAI : kKindDI, proc.Prefix, proc.Count);
  }
  std::string all = Format("%d,", count) + items;
  CopyText(list, size, all);
  return count;
}

// ---------------------------------------------------------------- browsers

namespace {
constexpr uint32_t kBrowseReply = 256;

// Sends to an in-process source (any server when anyServer); the reply's
// data after "1," in *data. 1, 0 for a failed request, -1 for a server that
// is not an in-process source.
int Browse(const char* server, const std::string& request, uint32_t capacity, std::string* data,
           bool anyServer = false) {
  if (!anyServer && !InProcess(server)) return plat::Fail(plat::kErrNotSupported), -1;
  std::string reply;
  int rc = Send(server, request, capacity, &reply);
  if (rc == -1) return 0;
  if (data) *data = ReplyData(reply);
  return 1;
}
}  // namespace

int Req_TestServer(void*, const char* server) { return InProcess(server) ? 0 : -1; }
int Req_SendFs(void*, const char* server) { return Browse(server, "FS", kReqSmallReply, nullptr); }
int Req_SendXs(void*, const char* server) { return Browse(server, "XS", kReqSmallReply, nullptr); }
int Req_SendWs(void*, const char* server) { return Browse(server, "WS", kReqSmallReply, nullptr); }
int Req_SendPs(void*, const char* server) { return Browse(server, "PS", kReqSmallReply, nullptr); }

int Req_SendIs(void*, const char* server, uint32_t* number) {
  if (number) *number = 0;
  std::string data;
  int rc = Browse(server, "IS", kReqSmallReply, &data);
  if (rc == 1 && number && sscanf(data.c_str(), "%u", number) != 1) *number = 0;
  return rc;
}

int Req_SendNs(void*, const char* server, uint32_t* first, int32_t* second) {
  uint32_t a = 0;
  int32_t b = 0;
  std::string data;
  int rc = Browse(server, "NS", 100, &data);
  if (rc == 1 && sscanf(data.c_str(), "%u,%d", &a, &b) < 1) a = 0, b = 0;
  if (first) *first = a;
  if (second) *second = b;
  return rc;
}

int Req_Send5s(void*, const char* server, int32_t a, uint32_t b, int32_t c, uint32_t d, uint32_t out[4],
               int32_t* last) {
  uint32_t o[4] = {};
  int32_t l = 0;
  std::string data;
  int rc = Browse(server, Format("5S,%d,%u,%d,%u", a, b, c, d), kBrowseReply, &data, true);
  if (rc == 1 && sscanf(data.c_str(), "%u,%u,%u,%u,%d", &o[0], &o[1], &o[2], &o[3], &l) != 5)
    memset(o, 0, sizeof o), l = 0;
  if (out) memcpy(out, o, sizeof o);
  if (last) *last = l;
  return rc;
}

int Req_Send6s(void*, const char* server, const char* name, void* address, int32_t size, uint32_t* out) {
  if (out) *out = 0;
  if (!FieldOk(name)) return BadParameter();
  if (size < 0) return BadParameter();
  // The in-process source writes the text into the caller's buffer: the
  // request names it by a handle registered for exactly its size, never by
  // its address, so no request text can make the source write elsewhere.
  const int64_t handle = ReqBuf_Register(address, static_cast<size_t>(size));
  std::string data;
  int rc = Browse(server, Format("6S,%s,%lld,%d", name, static_cast<long long>(handle), size), kBrowseReply, &data);
  ReqBuf_Release(handle);
  if (rc == 1 && out && sscanf(data.c_str(), "%u", out) != 1) *out = 0;
  return rc;
}

namespace {
int ThreeOut(const char* server, const std::string& request, uint32_t* o1, uint32_t* o2, int32_t* o3) {
  uint32_t a = 0, b = 0;
  int32_t c = 0;
  std::string data;
  int rc = Browse(server, request, kBrowseReply, &data);
  if (rc == 1 && sscanf(data.c_str(), "%u,%u,%d", &a, &b, &c) != 3) a = b = 0, c = 0;
  if (o1) *o1 = a;
  if (o2) *o2 = b;
  if (o3) *o3 = c;
  return rc;
}
}  // namespace

namespace {
// The caller's variables and buffers of "7S" and "8S", each registered for
// its size and sent by its handle (0 for none): the start and end stamps,
// the channel list (a NUL-ended text), the record or row buffer, the text
// buffer, the stamp where the window goes on, and for "8S" the most rows
// wanted.
struct ExportBuffers {
  int64_t from, to, list, records, texts, next, maxRows = 0;
  ExportBuffers(void* p1, void* p2, void* p3, void* p4, size_t recordBytes, void* p5, size_t textBytes, void* p6)
      : from(ReqBuf_Register(p1, sizeof(TimeStamp))),
        to(ReqBuf_Register(p2, sizeof(TimeStamp))),
        list(ReqBuf_Register(p3, p3 ? strlen(static_cast<const char*>(p3)) + 1 : 0)),
        records(ReqBuf_Register(p4, recordBytes)),
        texts(ReqBuf_Register(p5, textBytes)),
        next(ReqBuf_Register(p6, sizeof(TimeStamp))) {}
  ~ExportBuffers() {
    for (int64_t h : {from, to, list, records, texts, next, maxRows}) ReqBuf_Release(h);
  }
  ExportBuffers(const ExportBuffers&) = delete;
  ExportBuffers& operator=(const ExportBuffers&) = delete;
};
}  // namespace

int Req_Send7s(void*, const char* server, int32_t a, void* p1, int32_t b, void* p2, void* p3, uint32_t c, void* p4,
               void* p5, void* p6, int32_t d, uint32_t* o1, uint32_t* o2, int32_t* o3) {
  if (d < 0) return BadParameter();
  ExportBuffers h(p1, p2, p3, p4, c, p5, static_cast<size_t>(d), p6);
  std::string request = Format("7S,%d,%lld,%d,%lld,%lld,%u,%lld,%lld,%lld,%d", a, static_cast<long long>(h.from), b,
                               static_cast<long long>(h.to), static_cast<long long>(h.list), c,
                               static_cast<long long>(h.records), static_cast<long long>(h.texts),
                               static_cast<long long>(h.next), d);
  return ThreeOut(server, request, o1, o2, o3);
}

int Req_Send8s(void*, const char* server, int32_t a, void* p1, int32_t b, void* p2, void* p3, int32_t c, void* p4,
               void* p5, void* p6, int32_t d, void* p7, uint32_t* o1, uint32_t* o2, int32_t* o3) {
  if (c < 0 || d < 0) return BadParameter();
  ExportBuffers h(p1, p2, p3, p4, static_cast<size_t>(c), p5, static_cast<size_t>(d), p6);
  h.maxRows = ReqBuf_Register(p7, sizeof(int32_t));
  std::string request = Format("8S,%d,%lld,%d,%lld,%lld,%d,%lld,%lld,%lld,%d,%lld", a, static_cast<long long>(h.from),
                               b, static_cast<long long>(h.to), static_cast<long long>(h.list), c,
                               static_cast<long long>(h.records), static_cast<long long>(h.texts),
                               static_cast<long long>(h.next), d, static_cast<long long>(h.maxRows));
  return ThreeOut(server, request, o1, o2, o3);
}

int Req_SendMs(void*, const char* server, uint32_t number) {
  return Browse(server, Format("MS,%u", number), kReqSmallReply, nullptr);
}

int Req_SendDs(void*, const char* server) { return SendDsRequest(server); }
int Req_SendEs(void*, const char* server) { return SendEsRequest(server); }
int Req_SendCv(void*, const char* server, const char* list, char* reply, uint32_t* replyLength) {
  return RequestChannelConfig(server, list, reply, replyLength);
}
int Req_SendRv(void*, const char* server, const char* list, char* reply, uint32_t* replyLength) {
  return SendRvRequest(server, list, reply, replyLength);
}
int Req_SendTc(void*, const char* server, const char* tags, int n, uint32_t* values) {
  return SendTcRequest(server, tags, n, values);
}
int Req_SendFv(void*, const char* server, const char* name, double value) {
  return SendFvRequest(server, name, value);
}
int Req_SendTs(void*, const char* server, TimeStamp* stamp, plat::TimeZoneInformation* zone) {
  return GetServerTimeZone(server, stamp, zone);
}
int Req_BuildAccessList(void*, const char* server, char* list, size_t size) {
  return BuildAccessList(server, list, size);
}
