// Printing of a device's configuration: the device header, the port line
// and, per path, the analog and the digital channel tables.
#include "config_dialogs/print/qdprint.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cdxlib/client/srvconfig.h"
#include "cdxlib/config/configfiles.h"
#include "cdxlib/sys/timestamp.h"
#include "cdxlib/sys/textutil.h"
#include "config_dialogs/hostrecord.h"
#include "config_dialogs/print/printengine.h"
#include "platform/error.h"

namespace {

const char* const kNo = "N";
const char* const kYes = "Y";
const char* YN(bool on) { return on ? kYes : kNo; }
const char* LowHigh(bool high) { return high ? "HIGH" : "LOW "; }

const char* const kAddressHead = " TYP/ NODE ADDR  ";
const char* const kBitHead = " BIT             ";

// printf into a string (lines are far shorter than the buffer; a longer
// one is still kept whole).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  vsnprintf(out.data(), out.size(), format, args);
  va_end(args);
  out.resize(static_cast<size_t>(n));
  return out;
}

int Emit(const std::string& text) { return Print_Text(text.c_str()); }

// Emits each text in turn; -1 at the first refusal.
int EmitAll(std::initializer_list<std::string> texts) {
  for (const auto& t : texts)
    if (Emit(t) < 0) return -1;
  return 1;
}

std::string Blanks(int n) { return std::string(static_cast<size_t>(n), ' '); }
std::string Float(float x) { return Print_FormatFloat(x); }

const Df1AnalogHardware& AnalogHw(const ChannelConfig& c) {
  return *reinterpret_cast<const Df1AnalogHardware*>(c.analog.Hardware);
}
const Df1DigitalHardware& DigitalHw(const ChannelConfig& c) {
  return *reinterpret_cast<const Df1DigitalHardware*>(c.digital.Hardware);
}

struct PathRange {
  std::string pathName;
  int first = 1;  // channel number of records[0]
  int last = 0;
  const ChannelConfig* records = nullptr;
};

std::string ChannelName(const PathRange& r, int number) {
  return Format("%1.2s%d", r.pathName.c_str(), number);
}

// The start of a channel's first line: its name and "[Y]".
std::string ChannelStart(const PathRange& r, int number) {
  return Format("%-7.7s [", ChannelName(r, number).c_str()) + kYes + "] ";
}

// ---------------------------------------------------------------- analog

int AnalogHead() {
  return EmitAll({Format("CHAN    ENB TAG                  UNITS      %s EVENT CHCK ALARM CHECKING LOW/HIGH      "
                         "                                               ",
                         kAddressHead) +
                      " SIG CHNG" + "\n",
                  Format("            DESCRIPTION                     %s ON LOW/HIG O C LIMIT    W LIMIT    H LIMIT "
                         "   PRI DLY  MESSAGE                         ",
                         kBitHead) +
                      " ON/VALUE" + "\n\n"});
}

int AnalogChannel(const PathRange& r, int number, const ChannelConfig& c) {
  const AnalogChannelPart& a = c.analog;
  const bool events = Chan_TestFlag(c, kAiEventEnable);
  std::string l1 = ChannelStart(r, number);
  l1 += Format("%-15.15s      ", Chan_GetTag(c));
  l1 += Format("%-8.8s   ", Chan_GetUnits(c));
  l1 += Format("%s %s ", QdPrint_AddressColumns(c).c_str(), YN(events));
  l1 += events ? Float(a.LowEventLimit) : Blanks(8);
  const bool lowAlarm = Chan_TestFlag(c, kAiLowAlarmEnable);
  l1 += Format(" %s ", YN(lowAlarm));
  if (lowAlarm) {
    const bool warn = Chan_TestFlag(c, kAiLowWarningEnable);
    const bool deadband = Chan_TestFlag(c, kAiLowAlarmDeadbandEnable);
    l1 += Format("%s %s %s ", YN(Chan_TestFlag(c, kAiLowAlarmDriveCommon)), Float(a.LowAlarmLimit).c_str(), YN(warn));
    l1 += warn ? Format("%s ", Float(a.LowWarningLimit).c_str()) : Blanks(9);
    l1 += Format("%s ", YN(deadband));
    l1 += deadband ? Format("%s ", Float(a.LowAlarmDeadband - a.LowAlarmLimit).c_str()) : Blanks(9);
    l1 += Format("%-3d %-4d %-32.32s", a.LowAlarmPriority, a.LowAlarmDelay,
                 cdxtext::FixedText(a.LowAlarmText, sizeof a.LowAlarmText).c_str());
  } else {
    l1 += Blanks(74);
  }
  const bool sigChange = Chan_TestFlag(c, kAiSigChangeEnable);
  l1 += Format(" [%s]     ", YN(sigChange));
  l1 += "\n";

  std::string l2 = Format("            %-32.32s%s   ", Chan_GetDescription(c), QdPrint_BitColumn(c).c_str());
  l2 += events ? Float(a.HighEventLimit) : Blanks(8);
  const bool highAlarm = Chan_TestFlag(c, kAiHighAlarmEnable);
  l2 += Format(" %s ", YN(highAlarm));
  if (highAlarm) {
    const bool warn = Chan_TestFlag(c, kAiHighWarningEnable);
    const bool deadband = Chan_TestFlag(c, kAiHighAlarmDeadbandEnable);
    l2 += Format("%s %s %s ", YN(Chan_TestFlag(c, kAiHighAlarmDriveCommon)), Float(a.HighAlarmLimit).c_str(),
                 YN(warn));
    l2 += warn ? Format("%s ", Float(a.HighWarningLimit).c_str()) : Blanks(9);
    l2 += Format("%s ", YN(deadband));
    l2 += deadband ? Format("%s ", Float(a.HighAlarmLimit - a.HighAlarmDeadband).c_str()) : Blanks(9);
    l2 += Format("%-3d %-4d %-32.32s", a.HighAlarmPriority, a.HighAlarmDelay,
                 cdxtext::FixedText(a.HighAlarmText, sizeof a.HighAlarmText).c_str());
  } else {
    l2 += Blanks(74);
  }
  l2 += sigChange ? Format(" %s", Float(a.SigChangeValue).c_str()) : Blanks(9);
  l2 += "\n";
  if (EmitAll({l1, l2}) < 0) return -1;
  return QdPrint_ChannelHook(c) < 0 ? -1 : 1;
}

// ---------------------------------------------------------------- digital

int DigitalHead() {
  return EmitAll(
      {std::string("CHAN    ENB TAG                              ") +
           Format(" LOW STAT                        %s EVENT  ALARM  COM ALM ALM  ALARM\n", kAddressHead),
       std::string("            DESCRIPTION                      ") +
           Format(" HIG STAT                        %s STATE  STATE  ALM PRI DLY  MESSAGE\n\n", kBitHead)});
}

int DigitalChannel(const PathRange& r, int number, const ChannelConfig& c) {
  const DigitalChannelPart& d = c.digital;
  std::string l1 = ChannelStart(r, number);
  // The values stand under their head words: the low state text under
  // "LOW STAT", the address columns under " TYP/ NODE ADDR", and so on.
  l1 += Format("%-15.15s ", Chan_GetTag(c));
  l1 += Blanks(17);
  l1 += Format(" %-32.32s", cdxtext::FixedText(d.LowStateText, sizeof d.LowStateText).c_str());
  l1 += Format("%s ", QdPrint_AddressColumns(c).c_str());
  l1 += Chan_TestFlag(c, kDiEventEnable) ? Format("[%s] ", LowHigh(Chan_TestFlag(c, kDiEventState))) : "[DISB] ";
  if (Chan_TestFlag(c, kDiAlarmEnable)) {
    l1 += Format("[%s] [%s] %-3d %-4d %-32.32s", LowHigh(Chan_TestFlag(c, kDiAlarmState)),
                 YN(Chan_TestFlag(c, kDiAlarmDriveCommon)), d.AlarmPriority, d.AlarmDelay,
                 cdxtext::FixedText(d.AlarmText, sizeof d.AlarmText).c_str());
  } else {
    l1 += "[DISB] ";
  }
  l1 += "\n";
  std::string l2 = Format("            %-32.32s ", Chan_GetDescription(c));
  l2 += Format(" %-32.32s%s\n", cdxtext::FixedText(d.HighStateText, sizeof d.HighStateText).c_str(), QdPrint_BitColumn(c).c_str());
  if (EmitAll({l1, l2}) < 0) return -1;
  return QdPrint_DeviceHook(c) < 0 ? -1 : 1;
}

// ---------------------------------------------------------------- tables

// One table of the range: the channels of its kind that are enabled, page
// by page, two head lines at the top of each page that has a channel, a
// form feed after each page. A range that holds channels of the table's
// kind, none of them enabled, gets one "DISABLED" line instead of the last
// form feed; a range without channels of the kind prints nothing (the
// line would say the other kind's channels were disabled).
int ChannelTable(const PathRange& r, bool digital) {
  const int count = r.last - r.first + 1;
  int index = 0;
  bool printedAny = false;
  bool ofKind = false;
  for (int i = 0; i < count && !ofKind; ++i) ofKind = Chan_IsDigital(r.records[i].Type) == digital;
  while (index < count) {
    const int perPage = Print_LinesPerPage();
    bool pageHasChannel = false;
    // At least one channel goes on each page, however small the page is,
    // so that the walk always moves on.
    while (index < count && (Print_LineCounter() <= perPage || !pageHasChannel)) {
      const ChannelConfig& c = r.records[index];
      const int number = r.first + index;
      ++index;
      if (Chan_IsDigital(c.Type) != digital || !Chan_TestFlag(c, digital ? int{kDiEnable} : int{kAiEnable})) continue;
      if (!pageHasChannel && (digital ? DigitalHead() : AnalogHead()) < 0) return -1;
      pageHasChannel = true;
      printedAny = true;
      if ((digital ? DigitalChannel(r, number, c) : AnalogChannel(r, number, c)) < 0) return -1;
    }
    // A page that got no channel (the rest of the range was skipped) is
    // not ended: that would print a blank page.
    if (pageHasChannel && Print_Text("\f") < 0) return -1;
  }
  if (!printedAny && ofKind) {
    const std::string line = Format("CHANNELS %1.2s%d - ", r.pathName.c_str(), r.first) +
                             Format("%1.2s%d DISABLED\n", r.pathName.c_str(), r.last);
    if (Emit(line) < 0) return -1;
  }
  return 0;
}

int PathConfig(const QdPrintRequest& q, int path, int first, int last, const ChannelConfig* given) {
  const uint8_t* host = q.hostRecord;
  const int count = Host_PathCount(host, path);
  // A path without channels prints nothing (its channel file need not
  // exist); only a range asked of it is refused.
  if (count == 0 && first == 0 && last == 0) return 0;
  if (last == 0) last = count;
  if (first == 0) first = 1;
  if (first < 0 || last < first || last > count) return plat::Fail(plat::kErrInvalidParameter), -1;
  PathRange r;
  r.pathName = Host_PathName(host, path);
  r.first = first;
  r.last = last;
  std::vector<ChannelConfig> loaded;
  if (given) {
    r.records = given + (first - 1);
  } else {
    // The host has made the device's configuration directory current.
    loaded.resize(static_cast<size_t>(last - first + 1));
    if (Cfg_LoadChannelsInCwd(path, loaded.data(), first - 1, last - first + 1) != 0) return -1;
    r.records = loaded.data();
  }
  // A refused page in the analog table ends the print: the digital table
  // would only draw on a context in error.
  if (ChannelTable(r, false) < 0) return -1;
  return ChannelTable(r, true);
}

int DeviceHeader(const char* label, const std::string& server, const std::string& deviceName, int status,
                 int autosave, int byTag, uint32_t saveRateMs) {
  std::string autosaveLine = Format("        AUTOSAVE       [%s]", YN(autosave != 0));
  if (autosave) {
    PackedPeriod p;
    Time_MsToPeriod(&p, saveRateMs);
    autosaveLine += Format("                    BY TAG  [%s]       SAVE RATE %02d(min) %02d(sec) %03d(ms)",
                           YN(byTag != 0), p.minutes, p.seconds, p.milliseconds);
  }
  return EmitAll({Format("        SERVER NAME    [%s]\n", server.c_str()),
                  Format("        %-14s [%s]\n", Format("%s NAME", label).c_str(), deviceName.c_str()),
                  Format("        STATUS         [%s]\n", status ? "ENABLED " : "DISABLED"), autosaveLine,
                  "\n\n\n"});
}

int AllConfig(const QdPrintRequest& q) {
  const uint8_t* host = q.hostRecord;
  DeviceConfig read;
  DeviceConfig& device = q.device ? *q.device : read;
  int status = q.status, autosave = q.autosave, byTag = q.byTag;
  uint32_t saveRate = static_cast<uint32_t>(q.saveRateMs);
  if (!q.device) {
    const std::string subdir = Host_ConfigDir(host);
    uint8_t enable = 0, saveOutputs = 0, saveByTag = 0;
    if (SrvCfg_ReadEnable(q.server, subdir.c_str(), &enable) != 0) return -1;
    if (SrvCfg_ReadDevice(q.server, subdir.c_str(), &device, sizeof device) != 0) return -1;
    if (SrvCfg_ReadSaveConfig(q.server, subdir.c_str(), &saveOutputs, &saveByTag, &saveRate) != 0) return -1;
    status = enable;
    autosave = saveOutputs;
    byTag = saveByTag;
  }
  if (DeviceHeader("DEVICE", q.server ? q.server : "", Host_DeviceName(host), status, autosave, byTag, saveRate) < 0)
    return -1;
  PackedPeriod scan;
  Time_MsToPeriod(&scan, device.ScanRate);
  if (Emit(Format("        SCAN RATE %02d(min) %02d(sec) %03d(ms)\n\n", scan.minutes, scan.seconds,
                  scan.milliseconds)) < 0)
    return -1;
  if (QdPrint_PortLine(&device, Host_DefaultComNumber()) < 0) return -1;
  for (int path = 0; path < kHostPathCount; ++path) {
    if (!Host_PathPresent(host, path)) continue;
    const ChannelConfig* records = q.pathChannels ? q.pathChannels[path] : nullptr;
    if (PathConfig(q, path, 0, 0, records) < 0) return -1;
  }
  return 0;
}

}  // namespace

std::string QdPrint_AddressColumns(const ChannelConfig& c) {
  if (Chan_IsDigital(c.Type)) {
    const Df1DigitalHardware& h = DigitalHw(c);
    return Format(" %-1d    %-3d  %-5d ", c.Type, h.Node, h.WordAddress);
  }
  const Df1AnalogHardware& h = AnalogHw(c);
  return Format(" %-1d    %-3d  %-5d ", c.Type, h.Node, h.WordAddress);
}

std::string QdPrint_BitColumn(const ChannelConfig& c) {
  if (Chan_IsDigital(c.Type)) return Format(" %-2d              ", DigitalHw(c).Bit);
  return Blanks(17);
}

int QdPrint_PortLine(DeviceConfig* device, unsigned deviceNumber) {
  std::string port = cdxtext::FixedText(device->Comm.Port, sizeof device->Comm.Port);
  if (port.empty()) {
    port = Format("COM%u", deviceNumber);
    // A name longer than the field would name another port.
    if (port.size() < sizeof device->Comm.Port) memcpy(device->Comm.Port, port.c_str(), port.size() + 1);
  }
  return EmitAll({Format("        PORT           [%-6.6s]            NODE [%-6d]\n", port.c_str(), device->Comm.Node),
                  "\n\n"});
}

int QdPrint_DeviceHook(const ChannelConfig&) { return 0; }
int QdPrint_ChannelHook(const ChannelConfig&) { return 0; }

int QdPrint_Configuration(const QdPrintRequest& request) {
  if (!request.dc || !request.hostRecord) return plat::Fail(plat::kErrInvalidParameter), -1;
  Print_SetDc(static_cast<cairo_t*>(request.dc));
  if (Print_CheckDc() != 0) return -1;
  const int rc = request.kind == QdPrintKind::kAll
                     ? AllConfig(request)
                     : PathConfig(request, request.path, request.first, request.last, request.channels);
  if (rc < 0) {
    // The next print starts on a fresh page state.
    const uint32_t err = plat::GetLastError();
    Print_Reset();
    plat::Fail(err ? err : plat::kErrGenFailure);
    return -1;
  }
  plat::SetLastError(0);
  return 0;
}
