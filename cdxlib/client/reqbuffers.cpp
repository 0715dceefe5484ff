// The process's table of registered request buffers.
#include "cdxlib/client/reqbuffers.h"

#include <map>
#include <mutex>
#include <utility>

namespace {

std::mutex g_mu;
std::map<int64_t, std::pair<void*, size_t>> g_buffers;
int64_t g_next = 1;

}  // namespace

int64_t ReqBuf_Register(void* buffer, size_t size) {
  if (!buffer) return 0;
  std::lock_guard<std::mutex> guard(g_mu);
  int64_t h = g_next++;
  g_buffers[h] = {buffer, size};
  return h;
}

void ReqBuf_Release(int64_t handle) {
  std::lock_guard<std::mutex> guard(g_mu);
  g_buffers.erase(handle);
}

bool ReqBuf_Lookup(int64_t handle, void** buffer, size_t* size) {
  std::lock_guard<std::mutex> guard(g_mu);
  auto it = g_buffers.find(handle);
  if (it == g_buffers.end()) return false;
  if (buffer) *buffer = it->second.first;
  if (size) *size = it->second.second;
  return true;
}
