// Shared set-up of the alarm and value-write tests: a central server
// stand-in (cdxsim) with the alarm process, the derived-value processor and
// loggers reading their mailslots, plus helpers to read what they received.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cdxlib/runtime/alarms.h"
#include "cdxlib/shm/drvtables.h"
#include "platform/sync.h"
#include "tools/cdxsim/cdxsim.h"

namespace almtest {

inline std::unique_ptr<cdxsim::Sim> MakeSim(const std::string& text) {
  cdxsim::Description d;
  std::string error;
  if (!cdxsim::Description::Parse(text, &d, &error)) {
    ADD_FAILURE() << "description: " << error;
    return nullptr;
  }
  auto sim = std::make_unique<cdxsim::Sim>(std::move(d));
  if (sim->Create() != 0) {
    ADD_FAILURE() << "cdxsim could not create the instance";
    return nullptr;
  }
  return sim;
}

inline uint16_t U16(const cdxsim::AlarmBytes& a, size_t at) {
  uint16_t v;
  std::memcpy(&v, a.data() + at, 2);
  return v;
}
inline uint32_t U32(const cdxsim::AlarmBytes& a, size_t at) {
  uint32_t v;
  std::memcpy(&v, a.data() + at, 4);
  return v;
}
inline uint32_t Bits(float f) {
  uint32_t v;
  std::memcpy(&v, &f, 4);
  return v;
}
inline uint32_t Kind(const cdxsim::AlarmBytes& a) { return U32(a, 8) & 7u; }

inline size_t CountFences(const std::vector<cdxsim::AlarmBytes>& all) {
  size_t n = 0;
  for (const auto& a : all) n += Kind(a) == kAlmKindOperator && std::memcmp(a.data() + 16, "FENCE", 6) == 0;
  return n;
}

// Everything the alarm process received up to now, in order, fences left
// out. An operator message goes out as a fence and is waited for, so every
// message sent before it has arrived.
inline std::vector<cdxsim::AlarmBytes> Drain(cdxsim::Sim& sim) {
  const size_t fences = CountFences(sim.Alarms());
  Alm_SendOperatorMsg("FENCE", "fence");
  std::vector<cdxsim::AlarmBytes> all;
  for (int waited = 0;; waited += 5) {
    all = sim.Alarms();
    if (CountFences(all) > fences) break;
    if (waited > 10000) {
      ADD_FAILURE() << "the fence message did not arrive";
      break;
    }
    plat::SleepMs(5);
  }
  std::vector<cdxsim::AlarmBytes> out;
  for (const auto& a : all) {
    if (!(Kind(a) == kAlmKindOperator && std::memcmp(a.data() + 16, "FENCE", 6) == 0)) out.push_back(a);
  }
  return out;
}

// The messages that arrived after the first `from` of Drain().
inline std::vector<cdxsim::AlarmBytes> Since(cdxsim::Sim& sim, size_t from) {
  std::vector<cdxsim::AlarmBytes> all = Drain(sim);
  return std::vector<cdxsim::AlarmBytes>(all.begin() + std::min(from, all.size()), all.end());
}

}  // namespace almtest
