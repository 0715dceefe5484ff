// Shared pieces of the dialog tests: sinks that record what they are given,
// a presenter that plays a script against the dialog, and record builders.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cdxlib/records/chanconfig.h"
#include "config_dialogs/dialog.h"
#include "config_dialogs/hostrecord.h"
#include "config_dialogs/presenter.h"

namespace dlgtest {

struct RecordingMessages : qdui::MessageSink {
  std::vector<std::string> shown;
  void ShowMessage(const std::string& text) override { shown.push_back(text); }
};

struct RecordingHelp : qdui::HelpSink {
  std::vector<std::pair<std::string, std::string>> requests;
  void ShowHelp(const std::string& file, const std::string& topic) override { requests.emplace_back(file, topic); }
};

// Starts the dialog, plays the script (what the user does), and reports
// what a modal run would return. A dialog still open after the script is a
// test failure, never a hang.
struct ScriptPresenter : qdui::Presenter {
  std::function<void(qdui::Dialog&)> script;
  RecordingMessages messages;
  RecordingHelp help;
  bool stillOpen = false;
  qdui::MessageSink* Messages() override { return &messages; }
  qdui::HelpSink* Help() override { return &help; }
  int RunModal(qdui::Dialog& dialog, void*) override {
    dialog.Start();
    if (script) script(dialog);
    stillOpen = dialog.IsOpen();
    return dialog.IsOpen() ? 0 : dialog.Result();
  }
};

// A host device record: device name, configuration directory, paths and
// the device configuration whose port block lands at +0xE0.
struct HostRecord {
  uint8_t bytes[0xE0 - 4 + sizeof(DeviceConfig)] = {};
  HostRecord(const char* port, uint8_t node, uint8_t retries) {
    // A pattern everywhere, so that a stray write shows.
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i % 16);
    std::memcpy(bytes + kHostDeviceNameOffset, "PLC4", 5);
    std::memcpy(bytes + kHostConfigDirOffset, "PLC4", 5);
    for (int p = 0; p < kHostPathCount; ++p) bytes[kHostPathEntryOffset + kHostPathEntrySize * p] = 0;
    std::memcpy(bytes + kHostPathEntryOffset, "ai", 2);
    bytes[kHostPathCountOffset] = 10;
    bytes[kHostPathCountOffset + 1] = 1;  // 266 channels
    uint8_t* block = bytes + kHostPortBlockOffset;
    block[0] = retries;
    block[1] = node;
    std::strncpy(reinterpret_cast<char*>(block + 2), port, 7);
  }
  uint8_t* block() { return bytes + kHostPortBlockOffset; }
  std::string port() const {
    const char* p = reinterpret_cast<const char*>(bytes + kHostPortBlockOffset + 2);
    return std::string(p, strnlen(p, 7));
  }
};

// A channel record with every byte set to a pattern, then the type and both
// kinds' hardware fields.
inline ChannelConfig PatternChannel(uint8_t type) {
  ChannelConfig c;
  uint8_t* b = reinterpret_cast<uint8_t*>(&c);
  for (size_t i = 0; i < sizeof c; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
  c.Type = type;
  b[188] = 12;  // analog node
  b[190] = 0x34;
  b[191] = 0x01;  // analog address 0x134 = 308
  b[192] = 21;    // digital node
  b[194] = 0x10;
  b[195] = 0x00;  // digital address 16
  b[196] = 9;     // digital bit
  return c;
}

}  // namespace dlgtest
