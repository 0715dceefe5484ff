#include "config_dialogs/advanced.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "cdxlib/sys/textutil.h"
#include "config_dialogs/resources.h"
#include "platform/registry.h"

namespace qdui {

namespace {

constexpr size_t kMaxValueName = 100;  // longest value name taken from the port list key
constexpr size_t kMaxValueData = 64;   // largest value data taken from it
constexpr size_t kMaxPortName = kPortNameSize - 1;

std::string StoredName(const uint8_t* block) {
  const char* name = reinterpret_cast<const char*>(block + 2);
  return cdxtext::FixedText(name, kPortNameSize);
}

}  // namespace

CAdvanced::CAdvanced(uint8_t* block, uint16_t defaultComNumber, int* changed, MessageSink* messages,
                     HelpSink* help)
    : Dialog(kTemplateAdvanced, messages, help), block_(block), defaultCom_(defaultComNumber), changed_(changed) {
  std::memcpy(work_, block_, kPortBlockSize);
  defaultName_ = "COM" + std::to_string(defaultCom_);
}

void CAdvanced::OnInitDialog() {
  currentName_ = StoredName(work_);
  if (currentName_.empty()) currentName_ = defaultName_;
  FillPortList();
  SetCurSel(kIdcPort, FindStringExact(kIdcPort, currentName_));
  node_ = work_[1];
  UpdateData(false);
}

void CAdvanced::FillPortList() {
  ResetContent(kIdcPort);
  plat::HKEY hklm = nullptr;
  if (plat::RegConnectRegistry(nullptr, plat::HKEY_LOCAL_MACHINE, &hklm) != 0) {
    AddString(kIdcPort, currentName_);
    return;
  }
  plat::HKEY key = nullptr;
  if (plat::RegCreateKeyEx(hklm, kSerialCommKey, plat::REG_OPTION_NON_VOLATILE, plat::KEY_QUERY_VALUE, &key,
                           nullptr) == 0) {
    std::vector<std::string> names;
    if (plat::RegListValues(key, &names) == 0) {
      for (const std::string& name : names) {
        if (name.size() > kMaxValueName) continue;
        char data[kMaxValueData];
        uint32_t type = 0, size = sizeof data;
        // A value that does not fit is skipped; the rest are still offered.
        if (plat::RegQueryValueEx(key, name.c_str(), &type, data, &size) != 0 || type != plat::REG_SZ) continue;
        const std::string port(data, strnlen(data, size));
        if (port.empty() || port.size() > kMaxPortName) continue;
        if (FindStringExact(kIdcPort, port) < 0) AddString(kIdcPort, port);
      }
    }
    plat::RegCloseKey(key);
  }
  plat::RegCloseKey(hklm);
  if (FindStringExact(kIdcPort, currentName_) < 0) AddString(kIdcPort, currentName_);
}

void CAdvanced::DoDataExchange(DataExchange& dx) {
  dx.Text(kIdcNode, node_);
  dx.MinMax(kIdcNode, node_, 0, 255);
}

void CAdvanced::OnOK() {
  if (!UpdateData(true)) return;
  const int sel = GetCurSel(kIdcPort);
  if (sel >= 0) {
    const std::string picked = GetItemText(kIdcPort, sel);
    const std::string stored = StoredName(work_);
    // An empty name stands for the default port: picking that port again
    // keeps it empty. The name the block already holds (letter case aside:
    // the same port) is left as it is.
    const bool keep = CompareNoCase(picked, stored) == 0 || (stored.empty() && CompareNoCase(picked, defaultName_) == 0);
    if (!keep && picked.size() <= kMaxPortName) {
      std::memset(work_ + 2, 0, kPortNameSize);
      std::memcpy(work_ + 2, picked.data(), picked.size());
    }
  }
  work_[1] = static_cast<uint8_t>(node_);
  if (std::memcmp(work_, block_, kPortBlockSize) != 0) {
    std::memcpy(block_, work_, kPortBlockSize);
    if (changed_ != nullptr) *changed_ = 1;
  } else if (changed_ != nullptr) {
    *changed_ = 0;
  }
  EndDialog(IDOK);
}

}  // namespace qdui
