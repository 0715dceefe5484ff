// df1sim: a DF1 full-duplex controller station on a pseudo-terminal.
//
// The simulator owns the master side of a pty pair and publishes the slave's
// path (optionally through a symlink), so a scanner opens it as its serial
// port. It keeps a 64 KiB data table image per node, answers the unprotected
// read (command 0x01) with correct framing, DLE stuffing and BCC, ACKs good
// frames, NAKs frames with a bad BCC and answers DLE ENQ with its last
// response. Output can be paced at a baud rate's wire time (10 bits a
// character), and every fault a real line produces can be injected per node,
// once, N times or always.
//
// Everything runs on one thread of the simulator; the public calls may be
// made from any thread. Commands between scans go through Command(), which
// takes the same text lines as the df1sim program's standard input and
// control socket.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace df1sim {

enum class Fault {
  kNone,
  kNak,           // DLE NAK in place of the ACK, no reply
  kNoAck,         // neither ACK nor reply
  kAckLate,       // ACK after param ms (default 300), then the reply
  kNoReply,       // ACK, no reply
  kReplyLate,     // ACK, reply after param ms (default 700)
  kReplyCut,      // the reply stops half way, no DLE ETX
  kGaps,          // param ms (default 80) between the reply's bytes after DLE STX
  kGarbage,       // garbage bytes before DLE STX
  kDleAck,        // DLE ACK inside the reply
  kDleEnq,        // DLE ENQ inside the reply
  kDleOther,      // DLE + another byte inside the reply
  kBadBcc,        // wrong BCC
  kTooLong,       // reply with 4 data bytes more than asked
  kDropByte,      // one data byte lost on the line (BCC of the whole reply)
  kDropDle,       // one DLE of the first stuffed pair lost on the line
  kWrongSrc,      // reply's source is not the addressed node
  kWrongCmd,      // reply's command is not CMD + 0x40
  kWrongStatus,   // reply's status is param (default 0x10)
  kWrongTns,      // reply's TNS differs
  kShort,         // reply one data byte short (correct BCC)
  kSilent,        // the node does not exist: nothing at all
  kNoise,         // noise bytes on the line after the transaction
};

// Fault names as the control commands spell them ("nak", "noack", ...).
const char* FaultName(Fault f);
// The fault of a name, or kNone with ok = false for an unknown name.
Fault FaultFromName(const std::string& name, bool* ok);
// All faults but kNone, in declaration order.
std::vector<Fault> AllFaults();

// Counts of what the station saw and sent.
struct Stats {
  int commands = 0;      // good frames received
  int acksReceived = 0;  // DLE ACK from the scanner
  int naksReceived = 0;
  int enqsReceived = 0;
  int badFrames = 0;     // frames with a bad BCC (NAKed)
  int acksSent = 0;
  int naksSent = 0;
  int repliesSent = 0;
  long long bytesReceived = 0;  // every byte the line carried to the station
  long long bytesSent = 0;      // every byte the station put on the line
};

constexpr int kAlways = -1;

class Simulator {
 public:
  Simulator();
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Creates the pty pair and starts the station. With linkPath, a symlink
  // there points at the slave (replaced when it exists). 0 or -1 (errno).
  int Start(const std::string& linkPath = "");
  void Stop();
  // The far end goes away as an unplugged adapter does: the pty is closed
  // (the scanner's side hangs up) and the link removed. Tables, faults and
  // counts are kept for the next Start() or Reopen().
  void Hangup();
  // Hangup, then a new pty at the same link: what a scanner sees when an
  // adapter is plugged back. 0 or -1 (errno).
  int Reopen();
  const std::string& SlavePath() const { return slavePath_; }
  const std::string& LinkPath() const { return linkPath_; }
  // The path a scanner opens: the link when there is one, else the slave.
  std::string PortPath() const { return linkPath_.empty() ? slavePath_ : linkPath_; }

  // Wire pacing: 0 = none (bytes as fast as the pty takes them). Paced, a
  // byte takes exactly 10 bits at the rate (520.83 us at 19200 baud): each
  // byte of a burst is timed from the burst's start, so no rounding adds up.
  void SetBaud(int baud);

  // Data table (byte addresses, words little-endian).
  void SetWord(int node, int byteAddress, uint16_t value);
  void SetBytes(int node, int byteAddress, const std::vector<uint8_t>& bytes);
  uint16_t GetWord(int node, int byteAddress);
  // Loads a binary image into node's table from byte address 0. 0 or -1.
  int LoadImage(int node, const std::string& file);

  // Fault for the next count commands to node (kAlways: until cleared).
  // param: ms for the timing faults, the status byte for kWrongStatus;
  // 0 takes the fault's default.
  void SetFault(int node, Fault fault, int count = 1, int param = 0);
  // Clears node's faults (node < 0: every node's).
  void ClearFaults(int node = -1);

  // node < 0: totals over all nodes (ACKs/NAKs/ENQs count for the node of
  // the last command).
  Stats GetStats(int node = -1);
  void ResetStats();
  // The monotonic time (CLOCK_MONOTONIC, us) at which the station read the
  // first byte since the last call, 0 when none came; for latency figures.
  int64_t TakeFirstByteUs();
  // Every frame seen and sent, one line each ("rx ..." / "tx ...").
  std::vector<std::string> Log();
  void ClearLog();

  // One control command line; returns the answer ("ok", a value, or
  // "error: ..."). See df1sim's usage text for the commands.
  std::string Command(const std::string& line);

 private:
  struct FaultState {
    Fault fault = Fault::kNone;
    int count = 0;
    int param = 0;
  };
  struct Out {
    int64_t dueUs;
    uint8_t byte;
  };
  // One direction of the paced line: the bytes of a burst are timed from
  // its start, a byte after an idle line starts a new burst.
  struct LineClock {
    int64_t startUs = 0;
    int64_t bytes = 0;
    int64_t freeUs = 0;  // when the last byte has been carried
  };
  // The end of one more byte that may start at startUs.
  int64_t Carry(LineClock& clock, int64_t startUs) const;
  enum class Rx { kIdle, kIdleDle, kFrame, kFrameDle, kBcc };

  void Run();
  void OnByte(uint8_t b, int64_t atUs);
  void OnFrame(int64_t atUs);
  void Schedule(const std::vector<uint8_t>& bytes, int64_t atUs, int gapUs = 0, int fromByte = 0);
  void Flush(int64_t nowUs);
  void AddLog(const std::string& line);
  std::vector<uint8_t>& Table(int node);
  Fault TakeFault(int node, int* param);

  std::mutex mu_;
  std::thread thread_;
  int master_ = -1;
  int keeper_ = -1;  // the station's own slave descriptor: keeps the pty up
  int stopFd_ = -1;
  std::string slavePath_;
  std::string linkPath_;
  int baud_ = 0;
  std::map<int, std::vector<uint8_t>> tables_;
  std::map<int, FaultState> faults_;
  std::map<int, Stats> stats_;
  std::vector<std::string> log_;
  std::vector<Out> out_;
  size_t outHead_ = 0;
  LineClock tx_;
  LineClock rxLine_;
  std::string lastLink_;
  int64_t firstByteUs_ = 0;
  // Receiver.
  Rx rx_ = Rx::kIdle;
  std::vector<uint8_t> frame_;
  uint8_t lastResponse_ = 0x15;
  int lastNode_ = -1;
};

}  // namespace df1sim
