#include "scanner/df1read.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/error.h"
#include "scanner/linetrace.h"

namespace {

const char* const kErrorFormats[] = {
    "",
    "%.2s%d: Bit Error",
    "%.2s%d: Command Too Long",
    "%.2s%d: Timed Out On Command",
    "%.2s%d: NAK Response to Command",
    "%.2s%d: Unrecognised Response",
    "%.2s%d: Receive Timed Out",
    "%.2s%d: Incomplete Response",
    "%.2s%d: No DLE STX on Receive",
    "%.2s%d: Received Bad Symbol",
    "%.2s%d: Received Bad BCC",
    "%.2s%d: Receive Too Long",
    "%.2s%d: Check Remote Node Error",
    "%.2s%d: Check Command Error",
    "%.2s%d: Check TNS Error",
    "%.2s%d: Check Resp Length Error",
    "%.2s%d: Resp Status Error (#%02x)",
    "", "", "", "", "",
};
constexpr int kFormatCount = sizeof kErrorFormats / sizeof kErrorFormats[0];

bool g_tnsSeeded = false;
uint16_t g_tns = 0;

Df1StatusSink g_sink;
char g_moduleName[3] = "ai";
char g_scanText[128] = "";

// The first failure of this scan (one text per scan).
bool g_reported = false;

void Report(int code, int channelIndex, int err) {
  if (g_reported) return;
  g_reported = true;
  Df1_FormatError(g_scanText, sizeof g_scanText, code, g_moduleName, channelIndex + 1, err);
  if (g_sink.setText) g_sink.setText(g_scanText);
}

// "<what>: code N (<its text without name and number>)".
void TraceFailure(const char* what, int code, int err) {
  char text[128];
  Df1_FormatError(text, sizeof text, code, "", 0, err);
  LineTrace_Printf("%s: code %d (%s)", what, code, text[0] ? text + 3 : "?");
}

}  // namespace

const char* Df1_ErrorFormat(int code) {
  if (code < 0 || code >= kFormatCount) return "";
  return kErrorFormats[code];
}

void Df1_FormatError(char* out, int outSize, int code, const char* moduleName, int channelNumber, int err) {
  if (outSize <= 0) return;
  const char* fmt = Df1_ErrorFormat(code);
  if (code == kDf1StatusError) {
    std::snprintf(out, static_cast<size_t>(outSize), "%.2s%d: Resp Status Error (#%02x)", moduleName, channelNumber,
                  static_cast<unsigned>(err));
  } else if (*fmt) {
    // Every other text takes the name and the channel number only.
    std::snprintf(out, static_cast<size_t>(outSize), "%.2s%d: %s", moduleName, channelNumber, fmt + 8);
  } else {
    out[0] = 0;
  }
}

uint16_t Df1_NextTns() {
  if (!g_tnsSeeded) {
    // A random start, so that a controller's duplicate detection does not
    // drop the first command after a restart.
    std::random_device rd;
    g_tns = static_cast<uint16_t>(rd());
    g_tnsSeeded = true;
  }
  return ++g_tns;
}

void Df1_SetTns(uint16_t last) {
  g_tns = last;
  g_tnsSeeded = true;
}

void Df1_BuildReadCommand(const Df1ReadBlock& block, uint16_t tns, uint8_t out[kDf1CommandBytes]) {
  out[0] = block.node;
  out[1] = 0;
  out[2] = kDf1CmdUnprotectedRead;
  out[3] = 0;
  out[4] = static_cast<uint8_t>(tns);
  out[5] = static_cast<uint8_t>(tns >> 8);
  out[6] = static_cast<uint8_t>(block.start);
  out[7] = static_cast<uint8_t>(block.start >> 8);
  out[8] = block.size;
}

int Df1_CheckReply(const uint8_t* command, const uint8_t* reply, int length) {
  if (length < kDf1ReplyHeader) return kDf1LengthError;
  if (reply[1] != command[0]) return kDf1RemoteNodeError;
  if (reply[2] != static_cast<uint8_t>(command[2] + 0x40)) return kDf1CommandError;
  if (reply[3] != 0) {
    errno = reply[3];
    plat::SetLastError(reply[3]);
    return kDf1StatusError;
  }
  if (reply[4] != command[4] || reply[5] != command[5]) return kDf1TnsError;
  if (length != command[8] + kDf1ReplyHeader) return kDf1LengthError;
  return 0;
}

float Df1_DecodeBcd(uint8_t lo, uint8_t hi) {
  const int hundreds = (hi & 0x0F) > 9 ? 0 : (hi & 0x0F);
  return static_cast<float>((lo >> 4) * 10 + (lo & 0x0F) + 100 * hundreds);
}

void Df1_SetStatusSink(const Df1StatusSink& sink) { g_sink = sink; }

void Df1_SetModuleName(const char* name2) {
  std::memset(g_moduleName, 0, sizeof g_moduleName);
  if (name2) std::strncpy(g_moduleName, name2, 2);
}

const char* Df1_LastScanText() { return g_scanText; }

int Df1_ReadBlocks(ComPort port, const DeviceConfig*, int count, const ChannelConfig* channels, uint32_t* status,
                    float* values) {
  Df1Plan& plan = Df1_CurrentPlan();
  g_reported = false;
  g_scanText[0] = 0;
  for (size_t bi = 0; bi < plan.blocks.size() && Df1_Running(); ++bi) {
    Df1ReadBlock& b = plan.blocks[bi];
    int code = 0;
    int err = 0;
    // Each block transaction is a trace write: a switch of the trace takes
    // effect here.
    const bool trace = LineTrace_Check();
    for (int attempt = 0; attempt < kDf1Attempts; ++attempt) {
      uint8_t cmd[kDf1CommandBytes];
      Df1_BuildReadCommand(b, Df1_NextTns(), cmd);
      int n = 0;
      if (trace) {
        if (attempt > 0) LineTrace_Printf("retry %d of block %zu", attempt, bi + 1);
        LineTrace_Frame("tx read", b.node, cmd, kDf1CommandBytes);
      }
      code = Df1_SendFrame(port, cmd, kDf1CommandBytes);
      if (code == 0) {
        code = Df1_ReceiveFrame(port, b.reply.data(), &n, static_cast<int>(b.reply.size()));
        err = errno;
        if (trace) {
          if (code == 0)
            LineTrace_Frame("rx reply", n > 1 ? b.reply[1] : -1, b.reply.data(), n);
          else
            TraceFailure("receive failed", code, errno);
        }
      }
      // Every attempt is acknowledged, whatever came back.
      Df1_SendAck(port);
      if (const uint32_t lost = Com_LineError()) {
        g_reported = false;
        plat::Fail(lost);
        return -1;
      }
      if (code == 0) {
        code = Df1_CheckReply(cmd, b.reply.data(), n);
        err = errno;
        if (code != 0 && trace) TraceFailure("reply refused", code, err);
      }
      if (code == 0) break;
    }
    if (code != 0 && trace) LineTrace_Printf("block %zu failed after %d attempts", bi + 1, kDf1Attempts);
    if (code == 0) {
      b.bad = 0;
      continue;
    }
    b.bad = 1;
    if (!g_reported) {
      for (const auto& e : plan.entries) {
        if (e.block == bi) {
          Report(code, e.channel, err);
          break;
        }
      }
    }
  }

  for (const auto& e : plan.entries) {
    if (!Df1_Running()) break;
    if (e.channel >= count) continue;
    const int kind = Df1_ChannelKind(channels[e.channel]);
    if (kind > 4) continue;
    uint32_t& st = status[e.channel];
    const Df1ReadBlock& b = plan.blocks[e.block];
    if (b.bad) {
      st |= kStatusBad;
      continue;
    }
    const uint8_t* data = b.reply.data() + kDf1ReplyHeader + e.offset;
    if (kind == 1 || kind == 3) {
      const int bit = Df1_ChannelBit(channels[e.channel]);
      if (bit > 15) {
        st |= kStatusBad;
        Report(kDf1BitError, e.channel, 0);
        continue;
      }
      const uint16_t w = static_cast<uint16_t>(data[0] | data[1] << 8);
      st = (st & ~(kStatusState | kStatusBad)) | ((w >> bit) & 1u);
    } else {
      values[e.channel] = Df1_DecodeBcd(data[0], data[1]);
      st &= ~kStatusBad;
    }
  }
  if (!g_reported && g_sink.clearText) g_sink.clearText();
  g_reported = false;
  return 0;
}

int Df1_WriteAnalogOutput(ComPort, int, const ChannelConfig*, const float*) { return -1; }
int Df1_WriteDigitalOutput(ComPort, int, const ChannelConfig*, int) { return -1; }
