// Text dump of a data module: header, tables and data as hex.
#pragma once
#include <cstdio>

#include "cdxlib/shm/datamodule.h"

namespace ipcdump {

// Writes the module's header fields, its table layout, the used event slots
// and subscriptions (both forms) and, when withData, the data area as hex.
void DumpModule(std::FILE* out, const DataModule* module, bool withData);

// Hex and text of bytes, 16 a line, offsets from `base`.
void HexDump(std::FILE* out, const void* bytes, size_t n, size_t base);

}  // namespace ipcdump
