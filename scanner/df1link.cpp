#include "scanner/df1link.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/error.h"
#include "platform/sync.h"
#include "scanner/linetrace.h"
#include "scanner/portwait.h"

namespace {

Df1Timeouts g_timeouts;
ComPort g_port = nullptr;
uint8_t g_lastResponse = kDf1Nak;

// Receive buffer: fill count and read position.
uint8_t g_rx[kComRxBufferSize];
int g_rxFill = 0;
int g_rxPos = 0;

uint8_t g_frame[kDf1FrameBufferSize];

// The error that lost the line, 0 while it works.
uint32_t g_lineError = 0;

// When the last byte written will have left the line at the port's rate.
// A real port drains before Write returns; a pseudo-terminal takes the bytes
// at once, so the line's time is counted here.
int64_t g_txFreeUs = 0;

// Wire bytes still to come of what is being read (the acknowledgement
// pair, or a reply of known size; 1 when unknown). The wait for input
// sleeps until that many are queued, or until they have had their time on
// the line, instead of waking for every byte the line delivers.
int g_expect = 1;
// A byte of what is expected has come: the rest follows at the line's pace.
bool g_underway = false;

// Sets the expectation for one read and puts it back when that ends.
class Expect {
 public:
  explicit Expect(int bytes) {
    g_expect = bytes > 1 ? bytes : 1;
    g_underway = false;
  }
  ~Expect() {
    g_expect = 1;
    g_underway = false;
  }
  Expect(const Expect&) = delete;
  Expect& operator=(const Expect&) = delete;
};

void LoseLine(uint32_t error) {
  if (g_lineError != 0) return;
  g_lineError = error ? error : plat::kErrGenFailure;
  if (LineTrace_On()) LineTrace_Printf("line lost: system error %u", g_lineError);
}

// Writes and notes a failed write as the loss of the line.
bool WriteAll(ComPort port, const uint8_t* data, int n) {
  g_txFreeUs = std::max(plat::MonotonicUs(), g_txFreeUs) + port->WireTimeUs(n);
  if (port->Write(data, n) == n) return true;
  LoseLine(plat::GetLastError());
  return false;
}

// The wait for the next byte of a frame or a pair: the link's symbol time
// plus the byte's own time on the line (a byte at 300 baud takes 33 ms).
int SymbolMs(ComPort port) {
  return g_timeouts.symbolMs + (port ? static_cast<int>((port->WireTimeUs(1) + 999) / 1000) : 0);
}

void WritePair(ComPort port, uint8_t second) {
  const uint8_t pair[2] = {kDf1Dle, second};
  WriteAll(port, pair, 2);
}

}  // namespace

const Df1Timeouts& Df1_GetTimeouts() { return g_timeouts; }
void Df1_SetTimeouts(const Df1Timeouts& t) { g_timeouts = t; }

ComPort Com_OpenPath(const char* devicePath, const char* modeText) {
  Com_Close();
  plat::SerialSettings settings;
  if (ParseSerialSettings(modeText, &settings) != 0) return nullptr;
  plat::SerialPort* port = plat::SerialPort::Open(devicePath);
  if (!port) return nullptr;
  if (port->Configure(settings) != 0 || Com_AttachWait(port) != 0) {
    const uint32_t e = plat::GetLastError();
    delete port;
    plat::Fail(e);
    return nullptr;
  }
  g_port = port;
  g_rxFill = g_rxPos = 0;
  g_lineError = 0;
  g_txFreeUs = 0;
  return port;
}

void Com_Close() {
  if (!g_port) return;
  Com_DetachWait(g_port);
  delete g_port;
  g_port = nullptr;
  g_rxFill = g_rxPos = 0;
  g_lineError = 0;
}

ComPort Com_Port() { return g_port; }

uint32_t Com_LineError() { return g_lineError; }

int Com_InQueueCount(ComPort port) {
  if (!port) return plat::Fail(plat::kErrInvalidHandle), -1;
  return port->InQueue();
}

int Com_WaitInput(ComPort port, int timeoutMs) {
  if (!port) return plat::Fail(plat::kErrInvalidHandle), -1;
  if (g_lineError) return plat::Fail(g_lineError), -1;
  const int64_t deadline = plat::MonotonicMs() + (timeoutMs > 0 ? timeoutMs : 0);
  port->SetReadyCount(1);  // any byte
  for (;;) {
    const int n = port->InQueue();
    if (n > 0) return n;
    if (n < 0 || port->HungUp()) {
      LoseLine(n < 0 ? plat::GetLastError() : plat::kErrGenFailure);
      return plat::Fail(g_lineError), -1;
    }
    const int64_t left = deadline - plat::MonotonicMs();
    if (left <= 0) return 0;
    Com_WaitOnce(port, static_cast<int>(left));
  }
}

int Com_FillBuffer(ComPort port, int timeoutMs) {
  g_rxFill = g_rxPos = 0;
  if (!port) return plat::Fail(plat::kErrInvalidHandle), -1;
  if (g_lineError) return plat::Fail(g_lineError), -1;
  const int64_t deadline = plat::MonotonicUs() + int64_t{timeoutMs > 0 ? timeoutMs : 0} * 1000;
  for (;;) {
    // The port never blocks a read: it takes what is queued, in one call.
    const int got = port->Read(g_rx, kComRxBufferSize);
    if (got > 0) {
      g_rxFill = got;
      return 0;
    }
    if (got < 0 || port->HungUp()) {
      LoseLine(got < 0 ? plat::GetLastError() : plat::kErrGenFailure);
      return plat::Fail(g_lineError), -1;
    }
    int64_t leftUs = deadline - plat::MonotonicUs();
    if (leftUs <= 0) return -1;
    // One wait covers the input, a hang-up and the signals. When more than a
    // byte is expected the port is readable only once all of it is queued;
    // the wait is then bounded by the time those bytes take on the line
    // (and a little), so that a shorter frame is read as soon as it is there.
    const int want = g_expect < kComRxBufferSize ? g_expect : kComRxBufferSize;
    // Once a frame is under way its bytes come at the line's pace: a long
    // rest is slept through without watching the port (which would wake
    // this thread in the kernel for every byte), then read at once. The
    // wait still ends for a signal; a hang-up is seen by that read.
    const int64_t restUs = g_underway ? port->WireTimeUs(want) : 0;
    if (restUs >= 3000) {
      Com_WaitSignalsOnce(port, static_cast<int>(std::min<int64_t>(leftUs, restUs - 1000) / 1000));
      continue;
    }
    // Before the first bytes the port is watched for them (two: a DLE pair
    // starts every frame); within a frame, for all that is still due.
    const int ready = g_underway ? want : std::min(want, 2);
    if (port->SetReadyCount(ready) != 0 || ready <= 1) {
      port->SetReadyCount(1);
    } else {
      // Nothing can come back before what was written has left the line.
      const int64_t sendingUs = std::max<int64_t>(0, g_txFreeUs - plat::MonotonicUs());
      const int64_t boundUs = sendingUs + port->WireTimeUs(want) + std::max<int64_t>(2000, port->WireTimeUs(4));
      leftUs = std::min(leftUs, boundUs);
    }
    Com_WaitOnce(port, static_cast<int>((leftUs + 999) / 1000));
  }
}

int Com_ReadByte(ComPort port, int timeoutMs) {
  if (g_rxPos >= g_rxFill && Com_FillBuffer(port, timeoutMs) != 0) return -1;
  if (g_expect > 1) {
    --g_expect;
    g_underway = true;
  }
  return g_rx[g_rxPos++];
}

void Com_Purge(ComPort port) {
  g_rxFill = g_rxPos = 0;
  if (!port) return;
  uint8_t sink[256];
  for (;;) {
    const int n = port->InQueue();
    if (n <= 0) break;
    if (port->Read(sink, n < 256 ? n : 256) <= 0) break;
  }
}

int Com_ReadBytes(ComPort port, uint8_t* buffer, int count, int timeoutMs) {
  int done = 0;
  while (done < count) {
    const int b = Com_ReadByte(port, timeoutMs);
    if (b < 0) break;
    buffer[done++] = static_cast<uint8_t>(b);
  }
  return done;
}

int Com_ReadUntil(ComPort port, uint8_t* buffer, uint8_t terminator, int capacity, int timeoutMs) {
  if (capacity <= 0) return 0;
  std::memset(buffer, 0, static_cast<size_t>(capacity));
  int done = 0;
  while (done < capacity) {
    const int b = Com_ReadByte(port, timeoutMs);
    if (b < 0) break;
    buffer[done++] = static_cast<uint8_t>(b);
    if (b == terminator) break;
  }
  return done;
}

uint8_t Df1_Bcc(const uint8_t* data, int length) {
  uint8_t sum = 0;
  for (int i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  return static_cast<uint8_t>(-sum);
}

uint8_t Df1_Lrc(const uint8_t* data, int length) {
  uint8_t x = 0;
  for (int i = 0; i < length; ++i) x ^= data[i];
  return x;
}

uint16_t Df1_Crc16(const uint8_t* data, int length) {
  uint16_t crc = 0;
  for (int i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
    for (int b = 0; b < 8; ++b) crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

int Df1_ReadSymbol(ComPort port, int timeoutMs) {
  const int b = Com_ReadByte(port, timeoutMs);
  if (b < 0) return kSymTimeout;
  if (b != kDf1Dle) return b;
  switch (Com_ReadByte(port, SymbolMs(port))) {
    case kDf1Stx: return kSymStx;
    case kDf1Etx: return kSymEtx;
    case kDf1Enq:
      Df1_RepeatResponse(port);
      if (LineTrace_On()) LineTrace_Printf("rx ENQ, tx %s (repeated)", g_lastResponse == kDf1Ack ? "ACK" : "NAK");
      return kSymEnq;
    case kDf1Ack: return kSymAck;
    case kDf1Dle: return kSymDle;
    case kDf1Nak: return kSymNak;
    case -1: return kSymTimeout;
    default: return kSymOther;
  }
}

int Df1_SendFrame(ComPort port, const uint8_t* data, int length) {
  if (!port) return plat::Fail(plat::kErrInvalidHandle), kDf1CommandTimeout;
  Com_Purge(port);
  g_frame[0] = kDf1Dle;
  g_frame[1] = kDf1Stx;
  int i = 2;
  for (int k = 0; k < length; ++k) {
    const uint8_t b = data[k];
    if (b == kDf1Dle) {
      if (i > 250) return kDf1CommandTooLong;
      g_frame[i++] = kDf1Dle;
      g_frame[i++] = kDf1Dle;
    } else {
      if (i > 251) return kDf1CommandTooLong;
      g_frame[i++] = b;
    }
  }
  g_frame[i] = kDf1Dle;
  g_frame[i + 1] = kDf1Etx;
  g_frame[i + 2] = Df1_Bcc(data, length);
  // A write that fails has lost the line (Com_LineError); the frame counts
  // as not acknowledged.
  if (!WriteAll(port, g_frame, i + 3)) return kDf1CommandTimeout;
  // The acknowledgement can only come once the frame has left: the wait
  // starts when the write has drained, and not before the frame (and what
  // was written before it) has had its time on the line.
  const int64_t leftUs = g_txFreeUs - plat::MonotonicUs();
  const int ackMs = g_timeouts.ackMs + (leftUs > 0 ? static_cast<int>((leftUs + 999) / 1000) : 0);
  int symbol;
  {
    const Expect ack(2);  // DLE ACK
    symbol = Df1_ReadSymbol(port, ackMs);
  }
  if (LineTrace_On()) {
    if (symbol == kSymAck) LineTrace_Printf("rx ACK");
    else if (symbol == kSymNak) LineTrace_Printf("rx NAK");
    else if (symbol == kSymTimeout) LineTrace_Printf("time-out: no ACK within %d ms", ackMs);
    else LineTrace_Printf("rx %d in place of ACK (unrecognised response)", symbol);
  }
  switch (symbol) {
    case kSymAck: return kDf1Ok;
    case kSymNak: return kDf1CommandNak;
    case kSymTimeout: return kDf1CommandTimeout;
    default: return kDf1Unrecognised;
  }
}

int Df1_ReceiveFrame(ComPort port, uint8_t* buffer, int* length, int capacity) {
  *length = 0;
  // A full reply of `capacity` bytes: DLE STX, the data (DLE doubled), DLE
  // ETX, BCC. A shorter one (an error reply) ends the wait at its time.
  const Expect reply(capacity + 5);
  const int first = Df1_ReadSymbol(port, g_timeouts.firstMs);
  if (first == kSymTimeout) return kDf1ReceiveTimeout;
  if (first != kSymStx) {
    errno = first;
    plat::SetLastError(static_cast<uint32_t>(first));
    return kDf1NoStx;
  }
  int stored = 0;
  for (;;) {
    int s = Df1_ReadSymbol(port, SymbolMs(port));
    if (s == kSymTimeout) return kDf1Incomplete;
    if (s == kSymDle) s = kDf1Dle;
    if (s >= 0) {
      if (stored >= capacity) return kDf1TooLong;
      buffer[stored++] = static_cast<uint8_t>(s);
      continue;
    }
    if (s == kSymEtx) {
      // The BCC is sent as it is: 0x10 is an ordinary value here.
      const int bcc = Com_ReadByte(port, SymbolMs(port));
      if (bcc < 0 || bcc != Df1_Bcc(buffer, stored)) return kDf1BadBcc;
      *length = stored;
      return kDf1Ok;
    }
    return kDf1BadSymbol;
  }
}

void Df1_SendAck(ComPort port) {
  g_lastResponse = kDf1Ack;
  if (port) WritePair(port, kDf1Ack);
  if (LineTrace_On()) LineTrace_Printf("tx ACK");
}

void Df1_SendNak(ComPort port) {
  g_lastResponse = kDf1Nak;
  if (port) WritePair(port, kDf1Nak);
  if (LineTrace_On()) LineTrace_Printf("tx NAK");
}

void Df1_RepeatResponse(ComPort port) {
  if (port) WritePair(port, g_lastResponse);
}

uint8_t Df1_LastResponse() { return g_lastResponse; }

void Df1_ResetLink() {
  g_lastResponse = kDf1Nak;
  g_rxFill = g_rxPos = 0;
}
