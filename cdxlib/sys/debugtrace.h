// The per-process debug trace.
//
// One trace per process, named after the process's module. Registry values
// under HKEY_LOCAL_MACHINE "SOFTWARE\Quillomatic\<product name>" (never
// redirected to the user's hive), each formed with the module name M, switch
// it while the process runs:
//   M_Debug      a text beginning with "ON" (any letter case) switches on
//   M_DebugType  containing "CON": console, "FILE": file (both may be given)
//   M_DebugFile  path of the trace file (created anew when the file opens;
//                see OpenTraceFile for what is refused)
//   M_DebugRxCount ... M_DebugTxGoodPacketCount: counter references
// A change of the key is noticed at the next write. While on, every text
// also goes to the debugger output (platform/debugout.h: standard error or
// the installed hook) as whole lines prefixed "M : ". M_DebugType and
// M_DebugFile are read when debugging switches on; changing them while it
// stays on has no effect until it is switched off and on again.
//
// Writes are serialised by a lock, so threads may log at once; each text
// reaches the outputs whole.
#pragma once
#include <cstdint>
#include <mutex>

#include "platform/registry.h"
#include "platform/sync.h"

class CDebugTrace {
 public:
  // Output flags.
  static constexpr uint8_t kConsole = 0x1;
  static constexpr uint8_t kFile = 0x2;
  static constexpr uint8_t kDebugging = 0x4;

  static constexpr size_t kMaxModuleName = 131;
  static constexpr size_t kLineBufferSize = 5000;

  // A counter reference: channel prefix of 1-2 letters and channel 1..10000.
  struct CounterRef {
    char prefix[3];
    int number;
  };
  // The five counted quantities, each with a receive and a transmit reference.
  enum Counter { kCount, kTimeoutCount, kCommErrorCount, kCrcErrorCount, kGoodPacketCount, kCounterKinds };

  CDebugTrace() = default;
  ~CDebugTrace() { Close(); }
  CDebugTrace(const CDebugTrace&) = delete;
  CDebugTrace& operator=(const CDebugTrace&) = delete;

  // Opens the settings key and loads the settings; without the key the
  // trace stays silent.
  void Open(const char* moduleName);
  // Re-arms the change notification and reads the settings again.
  void Reload();
  // Writes text to the outputs that are on: 1 when it was written to at
  // least one of them, 0 when the trace is off or every write failed.
  int Write(const char* text);
  // Write without a result.
  void Print(const char* text);
  // Closes file, console, change notification and key.
  void Close();
  // Non-zero while any output is on.
  int IsActive() const;
  // What a write does first: takes a change of the settings. Then
  // IsActive(). Lets a caller skip formatting while the trace is off and
  // still follow a switch at its next trace write.
  int Refresh();

  // Opens the trace file for writing from its start. A missing file is
  // created (O_EXCL, honouring the umask); an existing one is used only
  // when it is a regular file of this process's user with one link, and
  // only then truncated. Symbolic links are never followed. Returns the
  // descriptor, or -1 with errno (ELOOP for a link, EPERM for a file that
  // is not this user's regular file).
  static int OpenTraceFile(const char* path);

  // Accepts "AB12", "x7", "A10000" (at most 7 characters: 1-2 letters and
  // digits, number 1..10000): 1 with the upper-cased prefix and the number;
  // otherwise 0 with both cleared. prefix has room for 3 bytes.
  static int ParseCounterRef(const char* text, char* prefix, int* number);

  // The counting operations: the counts are taken and not used.
  void Count(Counter /*which*/, bool /*transmit*/, int /*count*/) {}

  const CounterRef& RxRef(Counter c) const { return refs_[c][0]; }
  const CounterRef& TxRef(Counter c) const { return refs_[c][1]; }
  uint8_t Flags() const { return flags_; }

 private:
  bool ReadSetting(const char* suffix, char* buffer, uint32_t size);

  std::recursive_mutex mu_;
  int file_ = -1;
  int console_ = -1;
  uint8_t flags_ = 0;
  plat::HKEY key_ = nullptr;
  bool debuggingOn_ = false;
  char module_[kMaxModuleName + 1] = {};
  char line_[kLineBufferSize] = {};
  size_t lineLength_ = 0;
  CounterRef refs_[kCounterKinds][2] = {};
  plat::Event* changed_ = nullptr;
};

// The process-wide trace.
void Dbg_CreateTrace(const char* moduleName);
void Dbg_DestroyTrace();
// Writes text to the trace: its result, 0 without a trace.
int Dbg_Log(const char* text);
// The trace's Refresh(): non-zero while it writes anything, 0 without one.
int Dbg_Active();
// Writes each byte as "0x%02x " (one write per byte).
void Dbg_HexDump(const void* bytes, size_t n);
// The process-wide trace, or null.
CDebugTrace* Dbg_Trace();

// The counting operations (forwarded to the trace, which does not count).
void Dbg_RxCount(int count);
void Dbg_TxCount(int count);
void Dbg_RxTimeoutCount(int count);
void Dbg_TxTimeoutCount(int count);
void Dbg_RxCommErrorCount(int count);
void Dbg_TxCommErrorCount(int count);
void Dbg_RxCRCErrorCount(int count);
void Dbg_TxCRCErrorCount(int count);
void Dbg_RxGoodPacketCount(int count);
void Dbg_TxGoodPacketCount(int count);
