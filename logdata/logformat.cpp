// Field-by-field encoding of the ".odl" header and extended block, and the
// value-fault check of read records, and the stamps of log file names.
#include "logdata/logformat.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

bool AllDigits(const std::string& s, size_t at, size_t n) {
  if (at + n > s.size()) return false;
  for (size_t i = at; i < at + n; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

bool IsStampAt(const std::string& s, size_t at) {
  return AllDigits(s, at, 6) && at + 13 <= s.size() && s[at + 6] == '_' && AllDigits(s, at + 7, 6);
}

template <typename T>
void Put(uint8_t* base, uint32_t off, T v) {
  memcpy(base + off, &v, sizeof v);
}
template <typename T>
T Get(const uint8_t* base, uint32_t off) {
  T v;
  memcpy(&v, base + off, sizeof v);
  return v;
}

void PutDescriptor(uint8_t* at, const LogBlockDescriptor& d) {
  memcpy(at + 0, d.prefix, 2);
  Put<uint16_t>(at, 2, d.firstChannel);
  Put<uint16_t>(at, 4, d.lastChannel);
  Put<uint16_t>(at, 6, d.valueKind);
  Put<uint16_t>(at, 8, d.valueOffset);
  memcpy(at + 10, d.sourceName, 24);
  at[34] = d.reserved34;
  at[35] = d.lagFlag;
  memcpy(at + 36, d.reserved36, 16);
}

void GetDescriptor(const uint8_t* at, LogBlockDescriptor* d) {
  memcpy(d->prefix, at + 0, 2);
  d->firstChannel = Get<uint16_t>(at, 2);
  d->lastChannel = Get<uint16_t>(at, 4);
  d->valueKind = Get<uint16_t>(at, 6);
  d->valueOffset = Get<uint16_t>(at, 8);
  memcpy(d->sourceName, at + 10, 24);
  d->reserved34 = at[34];
  d->lagFlag = at[35];
  memcpy(d->reserved36, at + 36, 16);
}

void PutStamp(uint8_t* base, uint32_t off, const TimeStamp& t) {
  Put<int32_t>(base, off, t.seconds);
  Put<int16_t>(base, off + 4, t.milliseconds);
  Put<int16_t>(base, off + 6, t.microseconds);
}
TimeStamp GetStamp(const uint8_t* base, uint32_t off) {
  return TimeStamp{Get<int32_t>(base, off), Get<int16_t>(base, off + 4), Get<int16_t>(base, off + 6)};
}

bool PreadAll(int fd, void* buf, size_t n, uint64_t off, bool* failed) {
  auto* p = static_cast<uint8_t*>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t r = pread(fd, p + done, n - done, static_cast<off_t>(off + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      *failed = true;
      return false;
    }
    if (r == 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

bool LogPwriteAll(int fd, const void* buffer, size_t bytes, uint64_t offset) {
  auto* p = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  while (done < bytes) {
    ssize_t r = pwrite(fd, p + done, bytes - done, static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(r);
  }
  return true;
}

void EncodeLogHeader(const LogHeader& h, uint8_t out[kLogFileHeaderSize]) {
  memset(out, 0, kLogFileHeaderSize);
  Put<uint32_t>(out, kHdrEndOffset, h.endOffset);
  Put<uint16_t>(out, kHdrMarker, h.marker);
  Put<uint16_t>(out, kHdrBlockCount, h.blockCount > kLogFileDescriptors ? kLogFileDescriptors : h.blockCount);
  Put<uint32_t>(out, kHdrRecordCount, h.recordCount);
  PutStamp(out, kHdrStart, h.start);
  PutStamp(out, kHdrStop, h.stop);
  Put<uint32_t>(out, kHdrHeaderLength, h.headerLength);
  Put<uint32_t>(out, kHdrRecordLength, h.recordLength);
  for (int i = 0; i < kLogFileDescriptors; ++i) PutDescriptor(out + kHdrDescriptors + i * 52, h.blocks[i]);
  out[kHdrTagColumns] = h.tagColumns;
  out[kHdrSignificant] = h.significantChange;
  memcpy(out + kHdrTriggerPrefix, h.triggerPrefix, 2);
  Put<uint16_t>(out, kHdrTriggerChannel, h.triggerChannel);
  memcpy(out + kHdrLagPrefix, h.lagPrefix, 2);
  Put<uint16_t>(out, kHdrLagChannel, h.lagChannel);
  memcpy(out + kHdrReserved878, h.reserved878, 12);
  Put<uint16_t>(out, kHdrReserved890, h.reserved890);
  Put<uint32_t>(out, kHdrExtLength, h.extLength);
  Put<uint32_t>(out, kHdrExtOffset, h.extOffset);
}

void DecodeLogHeader(const uint8_t in[kLogFileHeaderSize], LogHeader* h) {
  memset(h, 0, sizeof *h);
  h->endOffset = Get<uint32_t>(in, kHdrEndOffset);
  h->marker = Get<uint16_t>(in, kHdrMarker);
  h->blockCount = Get<uint16_t>(in, kHdrBlockCount);
  h->recordCount = Get<uint32_t>(in, kHdrRecordCount);
  h->start = GetStamp(in, kHdrStart);
  h->stop = GetStamp(in, kHdrStop);
  h->headerLength = Get<uint32_t>(in, kHdrHeaderLength);
  h->recordLength = Get<uint32_t>(in, kHdrRecordLength);
  for (int i = 0; i < kLogFileDescriptors; ++i) GetDescriptor(in + kHdrDescriptors + i * 52, &h->blocks[i]);
  h->tagColumns = in[kHdrTagColumns];
  h->significantChange = in[kHdrSignificant];
  memcpy(h->triggerPrefix, in + kHdrTriggerPrefix, 2);
  h->triggerChannel = Get<uint16_t>(in, kHdrTriggerChannel);
  memcpy(h->lagPrefix, in + kHdrLagPrefix, 2);
  h->lagChannel = Get<uint16_t>(in, kHdrLagChannel);
  memcpy(h->reserved878, in + kHdrReserved878, 12);
  h->reserved890 = Get<uint16_t>(in, kHdrReserved890);
  h->extLength = Get<uint32_t>(in, kHdrExtLength);
  h->extOffset = Get<uint32_t>(in, kHdrExtOffset);
}

uint32_t EncodeLogExtension(const LogHeader& h, uint8_t out[kLogExtBlockMax]) {
  memset(out, 0, kLogExtBlockMax);
  Put<uint16_t>(out, kExtBlockCount, h.blockCount);
  for (int i = 0; i < kLogMaxBlocks; ++i) PutDescriptor(out + kExtDescriptors + i * 52, h.blocks[i]);
  memcpy(out + kExtExtension, h.extension, kLogExtensionSize);
  return h.extLength > kLogExtBlockMax ? kLogExtBlockMax : h.extLength;
}

void DecodeLogExtension(const uint8_t* in, uint32_t len, LogHeader* h) {
  uint8_t full[kLogExtBlockMax] = {};
  if (len > kLogExtBlockMax) len = kLogExtBlockMax;
  memcpy(full, in, len);
  h->blockCount = Get<uint16_t>(full, kExtBlockCount);
  for (int i = 0; i < kLogMaxBlocks; ++i) GetDescriptor(full + kExtDescriptors + i * 52, &h->blocks[i]);
  memcpy(h->extension, full + kExtExtension, kLogExtensionSize);
}

int ReadLogHeader(int fd, LogHeader* header) {
  if (!header || fd < 0) return -1;
  uint8_t raw[kLogFileHeaderSize];
  bool failed = false;
  if (!PreadAll(fd, raw, sizeof raw, 0, &failed)) return failed ? -2 : -1;
  DecodeLogHeader(raw, header);
  if (header->extLength != 0) {
    uint32_t len = header->extLength > kLogExtBlockMax ? kLogExtBlockMax : header->extLength;
    uint8_t ext[kLogExtBlockMax];
    failed = false;
    if (!PreadAll(fd, ext, len, header->extOffset, &failed)) return -1;
    DecodeLogExtension(ext, len, header);
  }
  return static_cast<int>(kLogFileHeaderSize);
}

int WriteLogHeader(int fd, const LogHeader& header, uint64_t offset) {
  uint8_t raw[kLogFileHeaderSize];
  EncodeLogHeader(header, raw);
  return LogPwriteAll(fd, raw, sizeof raw, offset) ? 0 : -1;
}

int WriteLogExtension(int fd, const LogHeader& header, uint64_t offset) {
  uint8_t ext[kLogExtBlockMax];
  uint32_t n = EncodeLogExtension(header, ext);
  if (n == 0) return 0;
  return LogPwriteAll(fd, ext, n, offset) ? 0 : -1;
}

uint64_t LogChannelOffset(const LogHeader& h, int block, int k) {
  int blocks = h.blockCount > kLogMaxBlocks ? kLogMaxBlocks : h.blockCount;
  if (block < 0 || block >= blocks || k < 0 || k >= LogBlockChannels(h.blocks[block])) return 0;
  uint64_t off = kLogFileHeaderSize;
  for (int j = 0; j < block; ++j) off += static_cast<uint64_t>(LogBlockChannels(h.blocks[j])) * 216 + 4;
  return off + 2 + static_cast<uint64_t>(k) * 216;
}

bool LogHeaderUsable(const LogHeader& h) {
  if (h.recordLength < kLogRecordFixedSize || h.headerLength < kLogFileHeaderSize) return false;
  return true;
}

void CheckLogRecordValues(const LogHeader& h, void* records, int count) {
  if (!records || count <= 0 || h.recordLength < kLogRecordFixedSize) return;
  int blocks = h.blockCount > kLogMaxBlocks ? kLogMaxBlocks : h.blockCount;
  auto* base = static_cast<uint8_t*>(records);
  for (int r = 0; r < count; ++r) {
    uint8_t* rec = base + static_cast<size_t>(r) * h.recordLength;
    for (int b = 0; b < blocks; ++b) {
      const LogBlockDescriptor& d = h.blocks[b];
      uint64_t n = static_cast<uint64_t>(LogBlockChannels(d));
      // Blocks that would reach past the record are not examined.
      if (d.valueOffset + 8 * n > h.recordLength) continue;
      for (uint64_t c = 0; c < n; ++c) {
        uint8_t* fp = rec + d.valueOffset + 4 * c;
        int32_t flags = Get<int32_t>(fp, 0);
        float v = Get<float>(rec + d.valueOffset + 4 * n + 4 * c, 0);
        if ((flags & kLogFlagPresent) && !(flags & kLogFlagMissing) && !std::isfinite(v))
          Put<int32_t>(fp, 0, flags | kLogFlagMissing);
      }
    }
  }
}

size_t FindLogNameStamp(const std::string& name, const char* ext) {
  size_t el = strlen(ext);
  if (name.size() < el + 13 || strcasecmp(name.c_str() + name.size() - el, ext) != 0) return std::string::npos;
  size_t stem = name.size() - el;
  // Closed: <start>_<stop>; open: <start>.
  if (stem >= 27 && IsStampAt(name, stem - 27) && name[stem - 14] == '_' && IsStampAt(name, stem - 13))
    return stem - 27;
  if (IsStampAt(name, stem - 13)) return stem - 13;
  return std::string::npos;
}

std::string LogNameStamp(int32_t seconds) {
  struct tm* t = Time_GmTime(seconds);
  char out[32];
  snprintf(out, sizeof out, "%02d%02d%02d_%02d%02d%02d", t->tm_year % 100, t->tm_mon + 1, t->tm_mday, t->tm_hour,
           t->tm_min, t->tm_sec);
  return out;
}

bool ParseLogNameStamp(const char* text, int32_t* seconds) {
  std::string s(text ? text : "");
  if (!IsStampAt(s, 0)) return false;
  auto num = [&](size_t at) { return (s[at] - '0') * 10 + (s[at + 1] - '0'); };
  struct tm tmv = {};
  int y = num(0);
  tmv.tm_year = (y < 70 ? 2000 + y : 1900 + y) - 1900;
  tmv.tm_mon = num(2) - 1;
  tmv.tm_mday = num(4);
  tmv.tm_hour = num(7);
  tmv.tm_min = num(9);
  tmv.tm_sec = num(11);
  if (tmv.tm_mon < 0 || tmv.tm_mon > 11 || tmv.tm_mday < 1 || tmv.tm_mday > 31 || tmv.tm_hour > 23 ||
      tmv.tm_min > 59 || tmv.tm_sec > 59)
    return false;
  *seconds = static_cast<int32_t>(Time_MakeSeconds(&tmv));
  return true;
}

bool ParseLogFileName(const std::string& name, const std::string& prefix, int32_t* start, int32_t* stop) {
  size_t at = FindLogNameStamp(name);
  if (at == std::string::npos) return false;
  if (!prefix.empty() && (at != prefix.size() || strncasecmp(name.c_str(), prefix.c_str(), prefix.size()) != 0))
    return false;
  if (!ParseLogNameStamp(name.c_str() + at, start)) return false;
  *stop = 0;
  if (name.size() - at == 31 && !ParseLogNameStamp(name.c_str() + at + 14, stop)) return false;
  return true;
}
