// The registry: a tree of keys holding named, typed values, shared by every
// process of one instance.
//
// Storage, under RootFolder("registry"):
//   HKEY_LOCAL_MACHINE/, HKEY_CURRENT_USER/, ...   one folder per hive
//   <key folder>/k_<name>/                         one folder per subkey
//   <key folder>/k_<name>/.name                    the key's name as created
//   <key folder>/v_<name>                          one file per value
// <name> is the lower-cased name (case-blind) in EncodeObjectName() form;
// a very long encoded name is cut and ends in "~" and a hash of the whole
// name, so every file name fits the file system. The original spelling is
// kept (case-preserving): in ".name" for a key, in the value file for a
// value. A value file is a RegValueFileHeader, the original name, the data.
//
// Semantics kept from the system:
// - Key and value names are case-blind and case-preserving. Key paths use
//   "\" between names; empty names in a path (leading, doubled or trailing
//   "\") are skipped. A key name longer than 255 characters fails with 87.
// - RegCreateKeyEx reports whether the key was new (REG_CREATED_NEW_KEY) or
//   existed (REG_OPENED_EXISTING_KEY); two processes creating one key at
//   once both succeed and exactly one of them sees it new.
// - A volatile key (REG_OPTION_VOLATILE) lives until the machine restarts:
//   its folder lies in the folder of the current boot under
//   RootFolder("registry-volatile"), linked into the tree by a symbolic
//   link; after a restart the link leads to another boot's folder (removed
//   at the first use) and the key no longer exists. Subkeys of a volatile
//   key are volatile too. Only such links are followed: any other link in
//   the tree is no key, and deleting a key removes a link, never what it
//   points to.
// - The standard keys (HKEY_LOCAL_MACHINE "SOFTWARE", "SYSTEM", "HARDWARE",
//   HKEY_CURRENT_USER "SOFTWARE") always exist as persistent keys, made at
//   the first key creation in their hive, so a volatile key below them
//   never makes them volatile.
// - A value write replaces the value file atomically (temporary file beside
//   it, then rename): a reader sees the old or the new value, never a torn
//   one, also when the writer is killed in the middle. What a killed writer
//   leaves (its temporary file) is removed by the next write to that key.
// - RegQueryValueEx with a buffer too small fails with 234 (more data) and
//   sets *size to the size needed; with no buffer it only returns the size.
// - Access rights are checked as the system does: reading a value needs
//   KEY_QUERY_VALUE, writing or deleting one KEY_SET_VALUE, creating a subkey
//   under an opened key KEY_CREATE_SUB_KEY, notification KEY_NOTIFY (5
//   otherwise). The predefined hives allow everything. There are no access
//   lists: key folders and value files are made with the process's umask
//   (0777 and 0666 less it), so under the usual 022 only the service's own
//   user can create, set or delete values; other users may read them.
// - Change notification (RegNotifyChangeKeyValue) is one-shot: the event is
//   set once after the first matching change and the caller re-arms it by
//   calling again. Changes made before the call are not reported. Closing
//   the key cancels its pending notifications.
// - Another machine's registry cannot be reached: RegConnectRegistry with a
//   remote computer name fails with 53 (bad network path).
//
// Every function returns 0 or a system error number (error.h); on failure
// the number is also left in errno and the thread's last error.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sync.h"

namespace plat {

struct RegKeyObject;
// An open key, or one of the predefined hives below. Close opened keys with
// RegCloseKey (closing a predefined hive does nothing).
using HKEY = RegKeyObject*;

extern const HKEY HKEY_CLASSES_ROOT;
extern const HKEY HKEY_CURRENT_USER;
extern const HKEY HKEY_LOCAL_MACHINE;
extern const HKEY HKEY_USERS;
extern const HKEY HKEY_PERFORMANCE_DATA;
extern const HKEY HKEY_CURRENT_CONFIG;
extern const HKEY HKEY_DYN_DATA;

// Value types.
constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t REG_MULTI_SZ = 7;
constexpr uint32_t REG_QWORD = 11;

// Access rights of a key.
constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
constexpr uint32_t KEY_SET_VALUE = 0x0002;
constexpr uint32_t KEY_CREATE_SUB_KEY = 0x0004;
constexpr uint32_t KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr uint32_t KEY_NOTIFY = 0x0010;
constexpr uint32_t KEY_CREATE_LINK = 0x0020;
constexpr uint32_t KEY_READ = 0x20019;
constexpr uint32_t KEY_WRITE = 0x20006;
constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;

// Options of RegCreateKeyEx.
constexpr uint32_t REG_OPTION_NON_VOLATILE = 0;
constexpr uint32_t REG_OPTION_VOLATILE = 1;

// Dispositions reported by RegCreateKeyEx.
constexpr uint32_t REG_CREATED_NEW_KEY = 1;
constexpr uint32_t REG_OPENED_EXISTING_KEY = 2;

// Filters of RegNotifyChangeKeyValue.
constexpr uint32_t REG_NOTIFY_CHANGE_NAME = 0x1;        // a subkey added or removed
constexpr uint32_t REG_NOTIFY_CHANGE_ATTRIBUTES = 0x2;  // (no attributes here: never fires)
constexpr uint32_t REG_NOTIFY_CHANGE_LAST_SET = 0x4;    // a value set or deleted
constexpr uint32_t REG_NOTIFY_CHANGE_SECURITY = 0x8;    // (no security here: never fires)

// Longest key or value name.
constexpr size_t kRegMaxNameLength = 255;

// The head of a value file: little-endian, followed by nameLength bytes of
// the value's name as written and dataLength bytes of data.
struct RegValueFileHeader {
  char magic[4];  // "CDXV"
  uint32_t type;
  uint32_t nameLength;
  uint32_t dataLength;
};
static_assert(sizeof(RegValueFileHeader) == 16);

// Creates the subkey (and any missing keys on its path) or opens it when it
// exists. options: REG_OPTION_NON_VOLATILE or REG_OPTION_VOLATILE (only
// keys created new become volatile). access: the rights of the returned
// key. disposition (may be null): REG_CREATED_NEW_KEY or
// REG_OPENED_EXISTING_KEY. An empty subKey opens parent itself again.
uint32_t RegCreateKeyEx(HKEY parent, const std::string& subKey, uint32_t options, uint32_t access, HKEY* result,
                        uint32_t* disposition);

// Opens an existing key: 2 when it does not exist.
uint32_t RegOpenKeyEx(HKEY parent, const std::string& subKey, uint32_t access, HKEY* result);

// Closes a key opened or created above; null and predefined hives are ignored.
uint32_t RegCloseKey(HKEY key);

// Reads a value (name null or "" is the key's default value). type (may be
// null) receives its type. data null: only *size is set. Otherwise *size is
// the buffer's size in, the value's size out; 234 when the buffer is too
// small (then *size is the size needed and the buffer is untouched).
// 2 when the value does not exist.
uint32_t RegQueryValueEx(HKEY key, const char* name, uint32_t* type, void* data, uint32_t* size);

// Creates or replaces a value, atomically.
uint32_t RegSetValueEx(HKEY key, const char* name, uint32_t type, const void* data, uint32_t size);

// Removes a value: 2 when it does not exist.
uint32_t RegDeleteValue(HKEY key, const char* name);

// Removes a subkey that has no subkeys of its own (5 when it has some,
// 2 when it does not exist).
uint32_t RegDeleteKey(HKEY parent, const std::string& subKey);

// Removes a subkey with everything below it.
uint32_t RegDeleteTree(HKEY parent, const std::string& subKey);

// Names (as written) of the key's subkeys and values, sorted case-blind.
// Need KEY_ENUMERATE_SUB_KEYS and KEY_QUERY_VALUE respectively.
uint32_t RegListSubKeys(HKEY key, std::vector<std::string>* names);
uint32_t RegListValues(HKEY key, std::vector<std::string>* names);

// Asks for one notification: `event` is set (once) at the first change of
// the kinds in `filter` to the key, and with watchSubtree to any key below
// it, after this call. The caller owns the event and must keep it alive
// until the notification has fired or the key is closed; to be told of the
// next change it calls again. The event is only ever set here: a caller
// with a manual-reset event resets it before re-arming.
uint32_t RegNotifyChangeKeyValue(HKEY key, bool watchSubtree, uint32_t filter, Event* event);

// Delivers, in the calling thread, every armed notification whose change
// has already been made (by any process), so that a check of the event
// right after a change sees it. Notifications are otherwise delivered by a
// thread of the platform shortly after the change.
void RegDeliverPendingNotifications();

// Connects to a predefined hive of a computer: null, "", ".", "\\.", or
// this computer's own name (with or without a leading "\\") gives the
// local hive; any other computer fails with 53.
uint32_t RegConnectRegistry(const char* machineName, HKEY hive, HKEY* result);

// Case-blind comparison and lower-casing of registry names (ASCII and the
// Windows-1252 letters).
std::string RegFoldName(const std::string& name);
bool RegNamesEqual(const std::string& a, const std::string& b);

}  // namespace plat
