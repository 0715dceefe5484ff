// Security attributes of shared objects.
//
// Shared objects of this platform (registry keys, shared memory, mutexes,
// mailslots) carry no access lists: they are files and sockets under the
// instance root created open to every user of the machine (folders 0777,
// files 0666). What callers pass as security attributes therefore only
// carries whether handles are inherited by child processes; a record whose
// `everyoneHasAccess` is set describes the open-to-all objects that the
// platform makes anyway.
#pragma once
#include <cstdint>

namespace plat {

struct SecurityAttributes {
  uint32_t length = sizeof(SecurityAttributes);
  bool everyoneHasAccess = true;
  bool inheritHandle = false;
};

}  // namespace plat
