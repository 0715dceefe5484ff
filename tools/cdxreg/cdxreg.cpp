// cdxreg: add, query and delete registry values of this instance
// (CDXPLAT_ROOT) from the command line.
//
//   cdxreg add    HIVE KEY NAME TYPE DATA
//   cdxreg query  HIVE KEY [NAME]
//   cdxreg delete HIVE KEY [NAME]
//
// HIVE: HKLM, HKCU, HKCR, HKU, HKCC or the full HKEY_... name (any case).
// KEY: the key path with "\" between names. NAME: the value name ("" is the
// key's default value). TYPE and DATA:
//   REG_SZ, REG_EXPAND_SZ  text (stored with its terminating zero)
//   REG_DWORD, REG_QWORD   a number, decimal or 0x hexadecimal
//   REG_BINARY             hexadecimal bytes ("0a1b2c", blanks allowed)
//   REG_MULTI_SZ           texts separated by "\0"
// query without NAME lists the key's subkeys and values; delete without
// NAME removes the key and everything below it.
// Exit: 0 done, 1 the registry refused (the system error is printed), 2 usage.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cdxlib/sys/textutil.h"
#include "platform/error.h"
#include "platform/registry.h"

namespace {

using namespace plat;

int Usage() {
  std::fprintf(stderr,
               "usage: cdxreg add HIVE KEY NAME TYPE DATA\n"
               "       cdxreg query HIVE KEY [NAME]\n"
               "       cdxreg delete HIVE KEY [NAME]\n"
               "HIVE: HKLM HKCU HKCR HKU HKCC; TYPE: REG_SZ REG_EXPAND_SZ REG_DWORD REG_QWORD REG_BINARY "
               "REG_MULTI_SZ\n");
  return 2;
}

int Failed(const char* what, uint32_t code) {
  std::fprintf(stderr, "cdxreg: %s: %s\n", what, ErrorWords(code).c_str());
  return 1;
}

using cdxtext::Upper;

HKEY HiveOf(const std::string& word) {
  struct Hive {
    const char* shortName;
    const char* longName;
    HKEY hive;
  };
  const Hive hives[] = {
      {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}, {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
      {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},   {"HKU", "HKEY_USERS", HKEY_USERS},
      {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
  };
  const std::string w = Upper(word);
  for (const auto& h : hives)
    if (w == h.shortName || w == h.longName) return h.hive;
  return nullptr;
}

struct TypeName {
  const char* name;
  uint32_t type;
};
const TypeName kTypes[] = {
    {"REG_NONE", REG_NONE},     {"REG_SZ", REG_SZ},       {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_BINARY", REG_BINARY}, {"REG_DWORD", REG_DWORD}, {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_QWORD", REG_QWORD},
};

bool TypeOf(const std::string& word, uint32_t* type) {
  for (const auto& t : kTypes)
    if (Upper(word) == t.name) return *type = t.type, true;
  return false;
}

const char* NameOfType(uint32_t type) {
  for (const auto& t : kTypes)
    if (t.type == type) return t.name;
  return "REG_UNKNOWN";
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno || *end || v > max) return false;
  *out = v;
  return true;
}

bool Encode(uint32_t type, const std::string& data, std::string* bytes) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      *bytes = data;
      bytes->push_back('\0');
      return true;
    case REG_DWORD:
    case REG_QWORD: {
      uint64_t v = 0;
      const bool dword = type == REG_DWORD;
      if (!ParseNumber(data, dword ? 0xFFFFFFFFull : ~0ull, &v)) return false;
      bytes->clear();
      for (int i = 0; i < (dword ? 4 : 8); ++i) bytes->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
      return true;
    }
    case REG_BINARY: {
      std::string hex;
      for (char c : data)
        if (c != ' ') hex.push_back(c);
      if (hex.size() % 2) return false;
      bytes->clear();
      for (size_t i = 0; i < hex.size(); i += 2) {
        uint64_t v = 0;
        if (!std::isxdigit(static_cast<unsigned char>(hex[i])) ||
            !std::isxdigit(static_cast<unsigned char>(hex[i + 1])) || !ParseNumber("0x" + hex.substr(i, 2), 255, &v))
          return false;
        bytes->push_back(static_cast<char>(v));
      }
      return true;
    }
    case REG_MULTI_SZ: {
      bytes->clear();
      size_t start = 0;
      while (start <= data.size()) {
        size_t end = data.find("\\0", start);
        if (end == std::string::npos) end = data.size();
        *bytes += data.substr(start, end - start);
        bytes->push_back('\0');
        start = end + 2;
      }
      bytes->push_back('\0');
      return true;
    }
    default:
      return false;
  }
}

std::string Show(uint32_t type, const std::string& bytes) {
  char buf[32];
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return std::string(bytes.c_str());
    case REG_DWORD:
    case REG_QWORD:
      if (bytes.size() == 4 || bytes.size() == 8) {
        uint64_t v = 0;
        for (size_t i = 0; i < bytes.size(); ++i) v |= uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
        std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
        return buf;
      }
      break;
    case REG_MULTI_SZ: {
      std::string out;
      for (size_t p = 0; p < bytes.size() && bytes[p];) {
        std::string item(bytes.c_str() + p);
        if (!out.empty()) out += "\\0";
        out += item;
        p += item.size() + 1;
      }
      return out;
    }
    default:
      break;
  }
  std::string out;
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    out += buf;
  }
  return out;
}

int PrintValue(HKEY key, const std::string& name) {
  uint32_t type = 0, size = 0;
  if (uint32_t rc = RegQueryValueEx(key, name.c_str(), &type, nullptr, &size)) return Failed("query", rc);
  std::string bytes(size, '\0');
  if (uint32_t rc = RegQueryValueEx(key, name.c_str(), &type, bytes.data(), &size)) return Failed("query", rc);
  bytes.resize(size);
  std::printf("%s\t%s\t%s\n", name.empty() ? "(default)" : name.c_str(), NameOfType(type), Show(type, bytes).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return Usage();
  const std::string command = argv[1];
  HKEY hive = HiveOf(argv[2]);
  const std::string keyPath = argv[3];
  if (!hive) return Usage();

  if (command == "add") {
    uint32_t type = 0;
    if (argc != 7 || !TypeOf(argv[5], &type)) return Usage();
    std::string bytes;
    if (!Encode(type, argv[6], &bytes)) {
      std::fprintf(stderr, "cdxreg: data \"%s\" is not a %s\n", argv[6], argv[5]);
      return 2;
    }
    HKEY key = nullptr;
    if (uint32_t rc = RegCreateKeyEx(hive, keyPath, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, &key, nullptr))
      return Failed("create key", rc);
    uint32_t rc = RegSetValueEx(key, argv[4], type, bytes.data(), static_cast<uint32_t>(bytes.size()));
    RegCloseKey(key);
    return rc ? Failed("set value", rc) : 0;
  }

  if (command == "query") {
    if (argc > 5) return Usage();
    HKEY key = nullptr;
    if (uint32_t rc = RegOpenKeyEx(hive, keyPath, KEY_READ, &key)) return Failed("open key", rc);
    int result = 0;
    if (argc == 5) {
      result = PrintValue(key, argv[4]);
    } else {
      std::vector<std::string> names;
      if (RegListSubKeys(key, &names) == 0)
        for (const auto& n : names) std::printf("%s\\\n", n.c_str());
      if (RegListValues(key, &names) == 0)
        for (const auto& n : names) result |= PrintValue(key, n);
    }
    RegCloseKey(key);
    return result;
  }

  if (command == "delete") {
    if (argc > 5) return Usage();
    if (argc == 4) {
      uint32_t rc = RegDeleteTree(hive, keyPath);
      return rc ? Failed("delete key", rc) : 0;
    }
    HKEY key = nullptr;
    if (uint32_t rc = RegOpenKeyEx(hive, keyPath, KEY_SET_VALUE, &key)) return Failed("open key", rc);
    uint32_t rc = RegDeleteValue(key, argv[4]);
    RegCloseKey(key);
    return rc ? Failed("delete value", rc) : 0;
  }
  return Usage();
}
