#include "tools/cdxipc/ipcdump.h"

#include <cstring>

namespace ipcdump {

void HexDump(std::FILE* out, const void* bytes, size_t n, size_t base) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  for (size_t line = 0; line < n; line += 16) {
    std::fprintf(out, "  %08zx ", base + line);
    for (size_t i = 0; i < 16; ++i) {
      if (line + i < n)
        std::fprintf(out, " %02x", p[line + i]);
      else
        std::fputs("   ", out);
    }
    std::fputs("  ", out);
    for (size_t i = 0; i < 16 && line + i < n; ++i) {
      unsigned char c = p[line + i];
      std::fputc(c >= 32 && c < 127 ? c : '.', out);
    }
    std::fputc('\n', out);
  }
}

void DumpModule(std::FILE* out, const DataModule* m, bool withData) {
  DMTables t{};
  if (DM_GetTables(m, &t) != 0) {
    std::fprintf(out, "not a data module (bad magic)\n");
    return;
  }
  char name[33] = {};
  std::memcpy(name, m->name, 32);
  std::fprintf(out, "module %s\n", name);
  std::fprintf(out, "  magic 0x%04X  size %u  name offset %u  constant %u  mapping %zu bytes\n", m->magic, m->size,
               m->nameOffset, m->constant108, t.mappingSize);
  std::fprintf(out, "  data size %u  pending %d  lock owner %d  recursion %d\n", m->dataSize, m->pendingCount,
               m->lockOwner, m->recursion);
  std::fprintf(out, "  event table %u  notify table %u  layout %s  slots 6-byte %d 8-byte %d  entries 4-byte %d 8-byte %d\n",
               t.eventOffset, t.notifyOffset, t.legacy ? "legacy" : "current", t.legacySlots, t.slots,
               t.legacyEntries, t.entries);
  for (int form = 0; form < 2; ++form) {
    const bool legacy = form == 0;
    const int n = legacy ? t.legacySlots : t.slots;
    for (int i = 1; i <= n; ++i) {
      EventSlot s{};
      if (DM_ReadEventSlot(m, legacy, i, &s) == 0 && (s.pid || s.waiting || s.count))
        std::fprintf(out, "  slot %d (%d-byte): pid %d waiting %u count %u\n", i, legacy ? 6 : 8, s.pid, s.waiting,
                     s.count);
    }
  }
  for (int form = 0; form < 2; ++form) {
    const bool legacy = form == 0;
    const int n = legacy ? t.legacyEntries : t.entries;
    for (int i = 1; i <= n; ++i) {
      NotifyEntry e{};
      if (DM_ReadNotifyEntry(m, legacy, i, &e) == 0 && e.pid)
        std::fprintf(out, "  subscription %d (%d-byte): pid %d code %d\n", i, legacy ? 4 : 8, e.pid, e.code);
    }
  }
  if (withData) {
    std::fprintf(out, "  data:\n");
    HexDump(out, reinterpret_cast<const unsigned char*>(m) + kDMHeaderSize, t.dataBound, 0);
  }
}

}  // namespace ipcdump
