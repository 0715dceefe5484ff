// Entries of DATPROC.TXT, DEVCAP.TXT and LOGCAP.TXT.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "cdxlib/config/capfile.h"

namespace {

// Builds the error text with the field marked and gives the parsers' -2.
int Fail(const char* message, char** fields, const int* offsets, int count, int index) {
  if (index < count && fields[index]) {
    CapFile_Error(1, message, offsets ? offsets[index] : 0, static_cast<int>(strlen(fields[index])));
  } else {
    CapFile_Error(1, message, 0, 0);
  }
  return -2;
}

void CopyUpper(char* out, size_t size, const char* in) {
  size_t i = 0;
  for (; in[i] && i + 1 < size; ++i) {
    const char c = in[i];
    out[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  memset(out + i, 0, size - i);
}

void CopyLower(char* out, size_t size, const char* in) {
  size_t i = 0;
  for (; in[i] && i + 1 < size; ++i) {
    const char c = in[i];
    out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  memset(out + i, 0, size - i);
}

// A decimal count: digits only, else -1; large values are capped so that the
// range checks refuse them.
int ParseCount(const char* text) {
  if (!*text) return -1;
  long value = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return -1;
    if (value < 10000000) value = value * 10 + (*p - '0');
  }
  return static_cast<int>(value);
}

const char* Field(char** fields, int count, int index) { return index < count && fields[index] ? fields[index] : ""; }

// Parses "PP:count" at field `index` into range: 1 valid, 0 no ':' (empty
// range), -2 invalid (error text built).
int ParseRange(char** fields, const int* offsets, int count, int index, ChannelRange* range) {
  const char* text = Field(fields, count, index);
  memset(range, 0, sizeof *range);
  const char* colon = strchr(text, ':');
  if (!colon) return 0;
  const int offset = offsets ? offsets[index] : 0;
  const int length = static_cast<int>(strlen(text));
  if (colon - text > 2 || !CapFile_CheckRange(text, ParseCount(colon + 1), offset, length)) {
    if (colon - text > 2) CapFile_Error(1, "invalid channel prefix", offset, length);
    return -2;
  }
  range->Prefix[0] = text[0];
  range->Prefix[1] = colon - text == 2 ? text[1] : '\0';
  range->Count = static_cast<uint16_t>(ParseCount(colon + 1));
  return 1;
}

}  // namespace

int Proc_ParseDatProc(char** fields, const int* offsets, int count, ProcessorEntry* entry,
                      const ProcessorEntry* earlier, int earlierCount) {
  memset(entry, 0, sizeof *entry);
  const char* name = Field(fields, count, 0);
  if (!*name) return Fail("no processor name specified", fields, offsets, count, 0);
  if (strlen(name) > 8) return Fail("processor name too long", fields, offsets, count, 0);
  CopyUpper(entry->Name, sizeof entry->Name, name);

  const char* print = Field(fields, count, 1);
  if (strlen(print) > 24) return Fail("processor print name too long", fields, offsets, count, 1);
  CopyUpper(entry->Description, sizeof entry->Description, *print ? print : name);

  for (int i = 0; i < earlierCount; ++i) {
    if (strcmp(earlier[i].Name, entry->Name) == 0) return Fail("duplicate processor name", fields, offsets, count, 0);
  }
  for (int i = 0; i < earlierCount; ++i) {
    if (strcmp(earlier[i].Description, entry->Description) == 0)
      return Fail("duplicate processor print name", fields, offsets, count, *print ? 1 : 0);
  }

  const char* set = Field(fields, count, 2);
  if (strcmp(entry->Name, "ALARM") == 0) {
    // The third field is the size of the alarm queue.
    int entries = 256;
    if (*set) entries = ParseCount(set);
    if (entries < 2 || entries > 1000)
      return Fail("invalid number of alarm queue entries", fields, offsets, count, 2);
    entry->Count = static_cast<uint16_t>(entries);
    entry->Kind = kProcKindDigital;
  } else {
    const bool modbus = strncasecmp(entry->Name, "MODB", 4) == 0;
    if (*set && !modbus) {
      const char type = set[0];
      if (type != 'A' && type != 'a' && type != 'D' && type != 'd')
        return Fail("channel type must be A or D", fields, offsets, count, 2);
    }
    const char* dash = strchr(set, '-');
    if (dash) {
      entry->Kind = (set[0] == 'A' || set[0] == 'a') ? kProcKindAnalog : kProcKindDigital;
      const char* prefix = dash + 1;
      const char* colon = strchr(prefix, ':');
      const size_t prefixLength = colon ? static_cast<size_t>(colon - prefix) : strlen(prefix);
      const int offset = (offsets ? offsets[2] : 0);
      const int length = static_cast<int>(strlen(set));
      if (prefixLength > 2) {
        CapFile_Error(1, "invalid channel prefix", offset, length);
        return -2;
      }
      // The count is checked when it is given; without ':' it is 0.
      const int channels = colon ? ParseCount(colon + 1) : 1;
      if (!CapFile_CheckRange(prefix, channels, offset, length)) return -2;
      entry->Prefix[0] = prefix[0];
      entry->Prefix[1] = prefixLength == 2 ? prefix[1] : '\0';
      entry->Count = colon ? static_cast<uint16_t>(channels) : 0;
    } else {
      entry->Kind = kProcKindDigital;
    }
    if (modbus) entry->Kind = kProcKindModbus;
    if (strcmp(entry->Name, "USERA") == 0) entry->Kind = kProcKindAnalog;
  }

  entry->Flag = strcasecmp(Field(fields, count, 3), "run") == 0 ? 1 : 0;
  return 1;
}

int Dev_ParseDevCap(char** fields, const int* offsets, int count, DeviceEntry* entry, const DeviceEntry* earlier,
                    int earlierCount) {
  memset(entry, 0, sizeof *entry);
  const char* name = Field(fields, count, 0);
  if (!*name) return Fail("no device name specified", fields, offsets, count, 0);
  if (strlen(name) > 8) return Fail("device name too long", fields, offsets, count, 0);

  const char* numberText = Field(fields, count, 1);
  if (!*numberText) return Fail("no device number specified", fields, offsets, count, 1);
  // Up to 3 digits are read.
  int number = 0;
  int digits = 0;
  while (digits < 3 && numberText[digits] >= '0' && numberText[digits] <= '9')
    number = number * 10 + (numberText[digits++] - '0');
  if (digits == 0 || number < 1 || number > 99) return Fail("invalid device number", fields, offsets, count, 1);

  char key[sizeof entry->Name + 8];
  snprintf(key, sizeof key, "%s_%d", name, number);
  CopyUpper(entry->Name, sizeof entry->Name, key);
  memcpy(entry->Text, name, strlen(name));

  const char* print = Field(fields, count, 2);
  if (!*print) return Fail("no print name specified", fields, offsets, count, 2);
  if (strlen(print) > 24) return Fail("print name too long", fields, offsets, count, 2);
  CopyUpper(entry->PrintName, sizeof entry->PrintName, print);

  for (int i = 0; i < earlierCount; ++i) {
    if (strcmp(earlier[i].Name, entry->Name) == 0)
      return Fail("duplicate device name and number", fields, offsets, count, 0);
  }
  for (int i = 0; i < earlierCount; ++i) {
    if (strcmp(earlier[i].PrintName, entry->PrintName) == 0)
      return Fail("duplicate print name", fields, offsets, count, 2);
  }

  if (count < 4) return Fail("no channel range(s) defined", fields, offsets, count, count);
  for (int r = 0; r < kDevRangesMax; ++r) {
    if (3 + r >= count) break;
    if (ParseRange(fields, offsets, count, 3 + r, &entry->Ranges[r]) == -2) return -2;
  }
  return 1;
}

int Logger_ParseLogCap(char** fields, const int* offsets, int count, LoggerEntry* entry) {
  memset(entry, 0, sizeof *entry);
  const char* name = Field(fields, count, 0);
  if (!*name) return Fail("no logger name specified", fields, offsets, count, 0);
  if (strlen(name) > 8) return Fail("logger type name too long", fields, offsets, count, 0);
  CopyLower(entry->Name, sizeof entry->Name, name);
  return 1;
}
