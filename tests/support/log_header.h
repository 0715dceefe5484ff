// Builds the block table of a log header for the logdata and logdb tests:
// each block's values follow the previous block's in a record, and each
// block's channel records follow the previous block's after the header.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "logdata/logformat.h"

namespace testsupport {

// Appends a block of channels first..last to h (analog values, or digital)
// and grows h.recordLength by its values: 8 bytes a channel and 2 of status.
// A header whose recordLength is still 0 starts at the record's fixed part.
inline LogBlockDescriptor& AddLogBlock(LogHeader& h, const char* prefix, int first, int last, bool digital = false,
                                       const std::string& source = "") {
  LogBlockDescriptor& d = h.blocks[h.blockCount++];
  memcpy(d.prefix, prefix, 2);
  d.firstChannel = uint16_t(first);
  d.lastChannel = uint16_t(last);
  d.valueKind = digital ? kLogKindDigital : 8;
  const uint32_t off = h.recordLength ? h.recordLength : kLogRecordFixedSize;
  d.valueOffset = uint16_t(off);
  if (!source.empty()) snprintf(d.sourceName, sizeof d.sourceName, "%s", source.c_str());
  h.recordLength = off + 8 * uint32_t(last - first + 1) + 2;
  return d;
}

// The header's length with the channel records of its blocks: the 900 bytes,
// then per block a 4-byte count and 216 bytes a channel.
inline uint32_t LogHeaderBytes(const LogHeader& h) {
  uint32_t bytes = kLogFileHeaderSize;
  for (int b = 0; b < h.blockCount; ++b) bytes += kLogChannelConfigSize * uint32_t(LogBlockChannels(h.blocks[b])) + 4;
  return bytes;
}

}  // namespace testsupport
