// A test extension library with some of the entries (and without others:
// no hardware, extra or config types).
#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" {
int Ex_DoXml() { return 1; }
int32_t Ex_Get_Mixed_Channel_Type() { return 1; }
// Rejects a channel whose tag starts with "BAD".
int32_t Ex_Validate_Chan(const char* elements, const void* record, char* error, int32_t errorSize) {
  (void)elements;
  if (memcmp(record, "BAD", 3) == 0) {
    snprintf(error, static_cast<size_t>(errorSize), "tag rejected by tstfu");
    return -1;
  }
  return 0;
}
int32_t Ex_Get_Config_Port(const char*, int32_t, int32_t* count) {
  *count = 2;
  return 0;
}
}
