// Buffers of the calling process that an in-process request names.
//
// Some logged-data requests ("6S", "7S", "8S") are answered inside the
// caller's own process and carry where the answer goes: the caller's
// variables and buffers. A request text never carries an address: the
// caller registers each buffer with its size and sends the handle it gets;
// the answering side looks the handle up and writes no more than the
// registered size. A number that is not a live handle names nothing.
#pragma once
#include <cstddef>
#include <cstdint>

// A handle (never 0) for `size` bytes at `buffer`, valid until released;
// 0 for a null buffer.
int64_t ReqBuf_Register(void* buffer, size_t size);
void ReqBuf_Release(int64_t handle);
// The buffer and size of a live handle: true, else false.
bool ReqBuf_Lookup(int64_t handle, void** buffer, size_t* size);
