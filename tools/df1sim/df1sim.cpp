#include "tools/df1sim/df1sim.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <utility>

namespace df1sim {
namespace {

constexpr uint8_t kDle = 0x10, kStx = 0x02, kEtx = 0x03, kEnq = 0x05, kAck = 0x06, kNak = 0x15;

struct FaultInfo {
  Fault fault;
  const char* name;
};
constexpr FaultInfo kFaults[] = {
    {Fault::kNone, "none"},          {Fault::kNak, "nak"},           {Fault::kNoAck, "noack"},
    {Fault::kAckLate, "acklate"},    {Fault::kNoReply, "noreply"},   {Fault::kReplyLate, "replylate"},
    {Fault::kReplyCut, "cut"},       {Fault::kGaps, "gaps"},         {Fault::kGarbage, "garbage"},
    {Fault::kDleAck, "dleack"},      {Fault::kDleEnq, "dleenq"},     {Fault::kDleOther, "dleother"},
    {Fault::kBadBcc, "badbcc"},      {Fault::kTooLong, "toolong"},   {Fault::kDropByte, "dropbyte"},
    {Fault::kDropDle, "dropdle"},    {Fault::kWrongSrc, "wrongsrc"}, {Fault::kWrongCmd, "wrongcmd"},
    {Fault::kWrongStatus, "status"}, {Fault::kWrongTns, "wrongtns"}, {Fault::kShort, "short"},
    {Fault::kSilent, "silent"},      {Fault::kNoise, "noise"},
};

int64_t NowUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

uint8_t Bcc(const std::vector<uint8_t>& d) {
  uint8_t s = 0;
  for (uint8_t b : d) s = static_cast<uint8_t>(s + b);
  return static_cast<uint8_t>(-s);
}

// DLE STX, stuffed data, DLE ETX, BCC of `bccOf`.
std::vector<uint8_t> Encode(const std::vector<uint8_t>& data, uint8_t bcc) {
  std::vector<uint8_t> w = {kDle, kStx};
  for (uint8_t b : data) {
    w.push_back(b);
    if (b == kDle) w.push_back(kDle);
  }
  w.push_back(kDle);
  w.push_back(kEtx);
  w.push_back(bcc);
  return w;
}

std::string Hex(const std::vector<uint8_t>& v) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < v.size(); ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", v[i]);
    s += buf;
  }
  return s;
}

bool ParseNum(const std::string& s, long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, 0);
  if (errno || *end) return false;
  *out = v;
  return true;
}

}  // namespace

const char* FaultName(Fault f) {
  for (const auto& i : kFaults)
    if (i.fault == f) return i.name;
  return "?";
}

Fault FaultFromName(const std::string& name, bool* ok) {
  for (const auto& i : kFaults)
    if (name == i.name) {
      if (ok) *ok = true;
      return i.fault;
    }
  if (ok) *ok = false;
  return Fault::kNone;
}

std::vector<Fault> AllFaults() {
  std::vector<Fault> v;
  for (const auto& i : kFaults)
    if (i.fault != Fault::kNone) v.push_back(i.fault);
  return v;
}

Simulator::Simulator() = default;

Simulator::~Simulator() { Stop(); }

int Simulator::Start(const std::string& linkPath) {
  if (master_ >= 0) return 0;
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) return -1;
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    const int e = errno;
    Stop();
    errno = e;
    return -1;
  }
  char name[128];
  if (::ptsname_r(master_, name, sizeof name) != 0) {
    const int e = errno;
    Stop();
    errno = e;
    return -1;
  }
  slavePath_ = name;
  // Hold the slave open ourselves, raw, so that the master never sees a
  // hang-up between scanners and nothing is echoed back to us.
  keeper_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (keeper_ < 0) {
    const int e = errno;
    Stop();
    errno = e;
    return -1;
  }
  termios t;
  if (::tcgetattr(keeper_, &t) == 0) {
    ::cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(keeper_, TCSANOW, &t);
  }
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  if (!linkPath.empty()) {
    const std::string tmp = linkPath + ".tmp" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(name, tmp.c_str()) != 0 || ::rename(tmp.c_str(), linkPath.c_str()) != 0) {
      const int e = errno;
      ::unlink(tmp.c_str());
      Stop();
      errno = e;
      return -1;
    }
    linkPath_ = linkPath;
  }
  {
    // A fresh line: nothing half received or still to send from before.
    std::lock_guard<std::mutex> lock(mu_);
    rx_ = Rx::kIdle;
    frame_.clear();
    out_.clear();
    outHead_ = 0;
    tx_ = LineClock{};
    rxLine_ = LineClock{};
  }
  stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd_ < 0) {
    const int e = errno;
    Stop();
    errno = e;
    return -1;
  }
  thread_ = std::thread([this] { Run(); });
  return 0;
}

void Simulator::Stop() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    ssize_t r = ::write(stopFd_, &one, sizeof one);
    (void)r;
    thread_.join();
  }
  if (!linkPath_.empty()) {
    ::unlink(linkPath_.c_str());
    linkPath_.clear();
  }
  for (int* fd : {&stopFd_, &keeper_, &master_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void Simulator::Hangup() {
  const std::string link = linkPath_;
  Stop();
  if (!link.empty()) lastLink_ = link;
}

int Simulator::Reopen() {
  const std::string link = linkPath_.empty() ? lastLink_ : linkPath_;
  Hangup();
  return Start(link);
}

void Simulator::SetBaud(int baud) {
  std::lock_guard<std::mutex> lock(mu_);
  baud_ = baud > 0 ? baud : 0;
  // A new rate starts new bursts where the old ones end.
  for (LineClock* c : {&tx_, &rxLine_}) {
    c->startUs = c->freeUs;
    c->bytes = 0;
  }
}

int64_t Simulator::Carry(LineClock& clock, int64_t startUs) const {
  if (baud_ <= 0) return clock.freeUs = std::max(startUs, clock.freeUs);
  if (startUs > clock.freeUs) {
    clock.startUs = startUs;
    clock.bytes = 0;
  }
  ++clock.bytes;
  clock.freeUs = clock.startUs + (clock.bytes * 10000000 + baud_ - 1) / baud_;
  return clock.freeUs;
}

std::vector<uint8_t>& Simulator::Table(int node) {
  auto& t = tables_[node & 0xFF];
  if (t.empty()) t.assign(65536, 0);
  return t;
}

void Simulator::SetWord(int node, int byteAddress, uint16_t value) {
  std::lock_guard<std::mutex> lock(mu_);
  auto& t = Table(node);
  t[byteAddress & 0xFFFF] = static_cast<uint8_t>(value);
  t[(byteAddress + 1) & 0xFFFF] = static_cast<uint8_t>(value >> 8);
}

void Simulator::SetBytes(int node, int byteAddress, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  auto& t = Table(node);
  for (size_t i = 0; i < bytes.size(); ++i) t[(byteAddress + i) & 0xFFFF] = bytes[i];
}

uint16_t Simulator::GetWord(int node, int byteAddress) {
  std::lock_guard<std::mutex> lock(mu_);
  auto& t = Table(node);
  return static_cast<uint16_t>(t[byteAddress & 0xFFFF] | t[(byteAddress + 1) & 0xFFFF] << 8);
}

int Simulator::LoadImage(int node, const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    errno = ENOENT;
    return -1;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() > 65536) bytes.resize(65536);
  SetBytes(node, 0, bytes);
  return 0;
}

void Simulator::SetFault(int node, Fault fault, int count, int param) {
  std::lock_guard<std::mutex> lock(mu_);
  faults_[node & 0xFF] = FaultState{fault, count, param};
}

void Simulator::ClearFaults(int node) {
  std::lock_guard<std::mutex> lock(mu_);
  if (node < 0)
    faults_.clear();
  else
    faults_.erase(node & 0xFF);
}

Stats Simulator::GetStats(int node) {
  std::lock_guard<std::mutex> lock(mu_);
  if (node >= 0) return stats_[node & 0xFF];
  Stats sum;
  for (const auto& [n, s] : stats_) {
    sum.commands += s.commands;
    sum.acksReceived += s.acksReceived;
    sum.naksReceived += s.naksReceived;
    sum.enqsReceived += s.enqsReceived;
    sum.badFrames += s.badFrames;
    sum.acksSent += s.acksSent;
    sum.naksSent += s.naksSent;
    sum.repliesSent += s.repliesSent;
    sum.bytesReceived += s.bytesReceived;
    sum.bytesSent += s.bytesSent;
  }
  return sum;
}

void Simulator::ResetStats() {
  std::lock_guard<std::mutex> lock(mu_);
  stats_.clear();
}

int64_t Simulator::TakeFirstByteUs() {
  std::lock_guard<std::mutex> lock(mu_);
  return std::exchange(firstByteUs_, 0);
}

std::vector<std::string> Simulator::Log() {
  std::lock_guard<std::mutex> lock(mu_);
  return log_;
}

void Simulator::ClearLog() {
  std::lock_guard<std::mutex> lock(mu_);
  log_.clear();
}

void Simulator::AddLog(const std::string& line) {
  // Bounded: a long demo run keeps the most recent lines.
  if (log_.size() >= 100000) log_.erase(log_.begin(), log_.begin() + 50000);
  log_.push_back(line);
}

Fault Simulator::TakeFault(int node, int* param) {
  auto it = faults_.find(node);
  if (it == faults_.end() || it->second.fault == Fault::kNone || it->second.count == 0) return Fault::kNone;
  const Fault f = it->second.fault;
  *param = it->second.param;
  if (it->second.count > 0 && --it->second.count == 0) faults_.erase(it);
  return f;
}

void Simulator::Schedule(const std::vector<uint8_t>& bytes, int64_t atUs, int gapUs, int fromByte) {
  int64_t start = atUs;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (gapUs > 0 && static_cast<int>(i) >= fromByte) start = tx_.freeUs + gapUs;
    out_.push_back(Out{Carry(tx_, start), bytes[i]});
  }
}

void Simulator::Flush(int64_t nowUs) {
  uint8_t buf[512];
  while (outHead_ < out_.size() && out_[outHead_].dueUs <= nowUs) {
    int n = 0;
    while (outHead_ + n < out_.size() && n < 512 && out_[outHead_ + n].dueUs <= nowUs) {
      buf[n] = out_[outHead_ + n].byte;
      ++n;
    }
    const ssize_t w = ::write(master_, buf, static_cast<size_t>(n));
    if (w <= 0) break;  // the pty is full: try again at the next pass
    outHead_ += static_cast<size_t>(w);
    stats_[lastNode_ < 0 ? 0 : lastNode_].bytesSent += w;
  }
  if (outHead_ == out_.size()) {
    out_.clear();
    outHead_ = 0;
  }
}

void Simulator::Run() {
  // The line is paced by timed wake-ups: with the default 50 us timer slack
  // every byte due on the line went out up to that much late, a delay each
  // master paid per exchange. Slack is per thread.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  uint8_t buf[512];
  for (;;) {
    int64_t waitUs = 100000;
    {
      std::lock_guard<std::mutex> lock(mu_);
      const int64_t now = NowUs();
      Flush(now);
      if (outHead_ < out_.size()) waitUs = std::clamp<int64_t>(out_[outHead_].dueUs - now, 0, 100000);
    }
    pollfd fds[2] = {{master_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    timespec ts{static_cast<time_t>(waitUs / 1000000), static_cast<long>(waitUs % 1000000) * 1000};
    const int64_t lookedUs = NowUs();
    const int r = ::ppoll(fds, 2, &ts, nullptr);
    // The bytes arrived when the wait saw them, or, when they were there
    // before it began, no later than its start: a burst is clocked from
    // that arrival, not from when this thread got to read it.
    const int64_t arrivedUs = NowUs();
    if (r < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) break;
    if (r > 0 && (fds[0].revents & POLLIN)) {
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0) {
        std::lock_guard<std::mutex> lock(mu_);
        const int64_t now = arrivedUs - lookedUs < 2 ? lookedUs : arrivedUs;
        if (firstByteUs_ == 0) firstByteUs_ = now;
        for (ssize_t i = 0; i < n; ++i) {
          // Each byte arrives when the line has carried it.
          const int64_t at = Carry(rxLine_, now);
          stats_[lastNode_ < 0 ? 0 : lastNode_].bytesReceived += 1;
          OnByte(buf[i], at);
        }
      }
    }
  }
}

void Simulator::OnByte(uint8_t b, int64_t atUs) {
  switch (rx_) {
    case Rx::kIdle:
      if (b == kDle) rx_ = Rx::kIdleDle;
      return;
    case Rx::kIdleDle:
      rx_ = Rx::kIdle;
      if (b == kStx) {
        frame_.clear();
        rx_ = Rx::kFrame;
      } else if (b == kAck || b == kNak || b == kEnq) {
        Stats& s = stats_[lastNode_ < 0 ? 0 : lastNode_];
        if (b == kAck) {
          ++s.acksReceived;
          AddLog("rx ACK");
        } else if (b == kNak) {
          ++s.naksReceived;
          AddLog("rx NAK");
        } else {
          ++s.enqsReceived;
          AddLog("rx ENQ");
          Schedule({kDle, lastResponse_}, atUs);
          AddLog(lastResponse_ == kAck ? "tx ACK (repeat)" : "tx NAK (repeat)");
        }
      } else if (b == kDle) {
        rx_ = Rx::kIdleDle;
      }
      return;
    case Rx::kFrame:
      if (b == kDle)
        rx_ = Rx::kFrameDle;
      else
        frame_.push_back(b);
      if (frame_.size() > 1024) rx_ = Rx::kIdle;  // runaway: forget it
      return;
    case Rx::kFrameDle:
      if (b == kDle) {
        frame_.push_back(kDle);
        rx_ = Rx::kFrame;
      } else if (b == kEtx) {
        rx_ = Rx::kBcc;
      } else if (b == kStx) {
        frame_.clear();
        rx_ = Rx::kFrame;
      } else {
        AddLog("rx broken frame " + Hex(frame_));
        rx_ = Rx::kIdle;
      }
      return;
    case Rx::kBcc:
      rx_ = Rx::kIdle;
      if (b != Bcc(frame_)) {
        ++stats_[frame_.empty() ? 0 : frame_[0]].badFrames;
        ++stats_[frame_.empty() ? 0 : frame_[0]].naksSent;
        AddLog("rx bad-bcc frame " + Hex(frame_));
        lastResponse_ = kNak;
        Schedule({kDle, kNak}, atUs);
        AddLog("tx NAK");
        return;
      }
      OnFrame(atUs);
      return;
  }
}

void Simulator::OnFrame(int64_t atUs) {
  const std::vector<uint8_t> cmd = frame_;
  const int node = cmd.empty() ? 0 : cmd[0];
  lastNode_ = node;
  Stats& st = stats_[node];
  ++st.commands;
  AddLog("rx " + Hex(cmd));
  // A new command ends whatever was still to be sent for the last one.
  out_.clear();
  outHead_ = 0;
  tx_ = LineClock{};

  int param = 0;
  const Fault f = TakeFault(node, &param);
  if (f != Fault::kNone) AddLog(std::string("fault ") + FaultName(f) + " node " + std::to_string(node));
  if (f == Fault::kSilent || f == Fault::kNoAck) return;
  if (f == Fault::kNak) {
    lastResponse_ = kNak;
    ++st.naksSent;
    Schedule({kDle, kNak}, atUs);
    AddLog("tx NAK");
    return;
  }
  int64_t ackAt = atUs;
  if (f == Fault::kAckLate) ackAt += int64_t{param > 0 ? param : 300} * 1000;
  lastResponse_ = kAck;
  ++st.acksSent;
  Schedule({kDle, kAck}, ackAt);
  AddLog("tx ACK");
  if (f == Fault::kNoReply) return;

  // Only the unprotected read is answered with data; any other command
  // gets a reply with status 0x10 (illegal command).
  std::vector<uint8_t> reply;
  if (cmd.size() >= 6) {
    reply = {cmd[1], cmd[0], static_cast<uint8_t>(cmd[2] | 0x40), 0, cmd[4], cmd[5]};
    if (cmd[2] == 0x01 && cmd.size() == 9) {
      const int addr = cmd[6] | cmd[7] << 8;
      const auto& t = Table(node);
      for (int i = 0; i < cmd[8]; ++i) reply.push_back(t[(addr + i) & 0xFFFF]);
    } else {
      reply[3] = 0x10;
    }
  } else {
    return;  // too short to answer
  }
  switch (f) {
    case Fault::kWrongSrc: reply[1] = static_cast<uint8_t>(reply[1] + 1); break;
    case Fault::kWrongCmd: reply[2] = 0x4F; break;
    case Fault::kWrongStatus: reply[3] = static_cast<uint8_t>(param > 0 ? param : 0x10); break;
    case Fault::kWrongTns: reply[4] = static_cast<uint8_t>(reply[4] + 1); break;
    case Fault::kShort: reply.pop_back(); break;
    case Fault::kTooLong: reply.insert(reply.end(), 4, 0); break;
    default: break;
  }
  std::vector<uint8_t> wire = Encode(reply, Bcc(reply));
  const size_t etx = wire.size() - 3;  // index of the trailing DLE ETX
  switch (f) {
    case Fault::kGarbage: wire.insert(wire.begin(), {0x55, 0xAA, 0x00}); break;
    case Fault::kDleAck: wire.insert(wire.begin() + 5, {kDle, kAck}); break;
    case Fault::kDleEnq: wire.insert(wire.begin() + 5, {kDle, kEnq}); break;
    case Fault::kDleOther: wire.insert(wire.begin() + 5, {kDle, 0x41}); break;
    case Fault::kBadBcc: wire.back() = static_cast<uint8_t>(wire.back() + 1); break;
    case Fault::kReplyCut: wire.resize(2 + (etx - 2) / 2); break;
    case Fault::kDropByte:
      // A non-zero byte: losing a zero leaves the BCC right.
      for (size_t i = 2; i < etx; ++i)
        if (wire[i] != kDle && wire[i] != 0) {
          wire.erase(wire.begin() + static_cast<long>(i));
          break;
        }
      break;
    case Fault::kDropDle:
      for (size_t i = 2; i + 1 < etx; ++i)
        if (wire[i] == kDle && wire[i + 1] == kDle) {
          wire.erase(wire.begin() + static_cast<long>(i));
          break;
        }
      break;
    default: break;
  }
  int64_t replyAt = atUs;
  if (f == Fault::kReplyLate) replyAt += int64_t{param > 0 ? param : 700} * 1000;
  const int gapUs = f == Fault::kGaps ? (param > 0 ? param : 80) * 1000 : 0;
  Schedule(wire, replyAt, gapUs, 2);
  ++st.repliesSent;
  AddLog("tx " + Hex(wire));
  if (f == Fault::kNoise) {
    Schedule({0xFF, 0x00, 0x7E, 0x55}, tx_.freeUs + 2000);
    AddLog("tx noise ff 00 7e 55");
  }
}

std::string Simulator::Command(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  if (w.empty() || w[0][0] == '#') return "ok";
  const std::string& op = w[0];
  auto num = [&](size_t i, long* v) { return i < w.size() && ParseNum(w[i], v); };
  long node = 0, a = 0, v = 0;
  if (op == "word" || op == "words") {
    // word NODE BYTEADDR VALUE [VALUE...]: consecutive words from BYTEADDR.
    if (!num(1, &node) || !num(2, &a) || w.size() < 4) return "error: usage: word NODE BYTEADDR VALUE...";
    for (size_t i = 3; i < w.size(); ++i) {
      if (!ParseNum(w[i], &v)) return "error: bad value " + w[i];
      SetWord(static_cast<int>(node), static_cast<int>(a + 2 * static_cast<long>(i - 3)), static_cast<uint16_t>(v));
    }
    return "ok";
  }
  if (op == "get") {
    if (!num(1, &node) || !num(2, &a)) return "error: usage: get NODE BYTEADDR";
    return std::to_string(GetWord(static_cast<int>(node), static_cast<int>(a)));
  }
  if (op == "image") {
    if (!num(1, &node) || w.size() != 3) return "error: usage: image NODE FILE";
    return LoadImage(static_cast<int>(node), w[2]) == 0 ? "ok" : "error: cannot read " + w[2];
  }
  if (op == "fault") {
    // fault NODE NAME [COUNT|always] [PARAM]
    if (!num(1, &node) || w.size() < 3) return "error: usage: fault NODE NAME [COUNT|always] [PARAM]";
    bool ok = false;
    const Fault f = FaultFromName(w[2], &ok);
    if (!ok) return "error: unknown fault " + w[2];
    long count = 1, param = 0;
    if (w.size() > 3 && w[3] != "always" && (!ParseNum(w[3], &count) || count < 1))
      return "error: bad count " + w[3];
    if (w.size() > 3 && w[3] == "always") count = kAlways;
    if (w.size() > 4 && !ParseNum(w[4], &param)) return "error: bad param " + w[4];
    SetFault(static_cast<int>(node), f, static_cast<int>(count), static_cast<int>(param));
    return "ok";
  }
  if (op == "clear") {
    if (w.size() > 1 && !num(1, &node)) return "error: usage: clear [NODE]";
    ClearFaults(w.size() > 1 ? static_cast<int>(node) : -1);
    return "ok";
  }
  if (op == "baud") {
    if (!num(1, &v) || v < 0) return "error: usage: baud N";
    SetBaud(static_cast<int>(v));
    return "ok";
  }
  if (op == "stats") {
    if (w.size() > 1 && !num(1, &node)) return "error: usage: stats [NODE]";
    const Stats s = GetStats(w.size() > 1 ? static_cast<int>(node) : -1);
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "commands=%d acks=%d naks=%d enqs=%d badframes=%d acks_sent=%d naks_sent=%d replies=%d "
                  "bytes_in=%lld bytes_out=%lld",
                  s.commands, s.acksReceived, s.naksReceived, s.enqsReceived, s.badFrames, s.acksSent, s.naksSent,
                  s.repliesSent, s.bytesReceived, s.bytesSent);
    return buf;
  }
  if (op == "reset") {
    ResetStats();
    ClearLog();
    return "ok";
  }
  if (op == "log") {
    std::string all;
    for (const auto& l : Log()) all += l + "\n";
    return all + "ok";
  }
  if (op == "port") return PortPath();
  if (op == "hangup") {
    Hangup();
    return "ok";
  }
  if (op == "reopen") return Reopen() == 0 ? PortPath() : std::string("error: ") + std::strerror(errno);
  return "error: unknown command " + op;
}

}  // namespace df1sim
