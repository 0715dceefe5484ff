// The web HMI channel list: the menu, its dashboards and their channels.
#include "logdata/webhmi.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cdxlib/sys/logicaldirs.h"
#include "cdxlib/sys/registry.h"
#include "platform/debugout.h"
#include "platform/files.h"

namespace {

constexpr size_t kMaxXmlFile = 16u << 20;  // a menu or dashboard larger than this is not one

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A whole file, read without following a link at its name.
bool ReadFile(const std::string& path, std::string* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) <= kMaxXmlFile;
  out->clear();
  char buf[8192];
  while (ok) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) ok = false;
    if (n <= 0) break;
    out->append(buf, static_cast<size_t>(n));
    if (out->size() > kMaxXmlFile) ok = false;
  }
  close(fd);
  return ok;
}

// The directories above a location at which a component "LOGGED_DATA"
// stands, deepest first: each with that component taken away.
std::vector<std::string> LoggedDataParents(const std::string& location) {
  std::vector<std::string> parents;
  std::string s = location;
  for (char& c : s)
    if (c == '\\') c = '/';
  size_t end = s.size();
  while (end > 0) {
    size_t slash = s.rfind('/', end - 1);
    size_t begin = slash == std::string::npos ? 0 : slash + 1;
    if (strncasecmp(s.c_str() + begin, "LOGGED_DATA", end - begin) == 0 && end - begin == 11)
      parents.push_back(s.substr(0, begin));
    if (slash == std::string::npos) break;
    end = slash;
  }
  return parents;
}

// `tail` under the web HMI folder beside the logged data, else under
// CDX_WEBHMI (`fallback` is the tail there).
std::string FindInWebHmi(const std::string& location, const std::string& tail, const std::string& fallback) {
  for (const std::string& parent : LoggedDataParents(location)) {
    std::string p = parent + "WEBHMI/" + tail;
    if (FileExists(p)) return p;
  }
  const char* dir = Dir_Resolve("CDX_WEBHMI");
  return std::string(dir ? dir : "") + "/" + fallback;
}

// The text of the element that starts at `open` ("<name" then '>' or
// attributes): from after its '>' to its end tag; false when it is empty
// ("<name/>") or has no end.
bool ElementText(const std::string& doc, size_t open, const std::string& name, std::string* text, size_t* after) {
  size_t gt = doc.find('>', open);
  if (gt == std::string::npos) return false;
  if (doc[gt - 1] == '/') {
    *after = gt + 1;
    text->clear();
    return true;
  }
  std::string close = "</" + name;
  size_t end = doc.find(close, gt + 1);
  if (end == std::string::npos) return false;
  *text = doc.substr(gt + 1, end - gt - 1);
  *after = end + close.size();
  return true;
}

// Every element named `name` (exactly, not a longer name that starts with
// it): its text.
std::vector<std::string> Elements(const std::string& doc, const std::string& name) {
  std::vector<std::string> out;
  std::string open = "<" + name;
  size_t at = 0;
  while ((at = doc.find(open, at)) != std::string::npos) {
    size_t next = at + open.size();
    char c = next < doc.size() ? doc[next] : '\0';
    if (c != '>' && c != '/' && c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      at = next;
      continue;
    }
    std::string text;
    size_t after = next;
    if (!ElementText(doc, at, name, &text, &after)) break;
    out.push_back(text);
    at = after;
  }
  return out;
}

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

bool Before(const WebHmiChannel& a, const WebHmiChannel& b) {
  int c = strcasecmp(a.prefix.c_str(), b.prefix.c_str());
  return c != 0 ? c < 0 : a.number < b.number;
}

bool Same(const WebHmiChannel& a, const std::string& prefix, int number) {
  return a.number == number && strcasecmp(a.prefix.c_str(), prefix.c_str()) == 0;
}

void Debug(const char* format, const std::string& text) {
  char line[1400];
  snprintf(line, sizeof line, format, text.c_str());
  plat::OutputDebugText(line);
}

}  // namespace

std::string WebHmi_MenuPath(const std::string& location) { return FindInWebHmi(location, "menu.xml", "menu.xml"); }

std::string WebHmi_DashboardPath(const std::string& location, const std::string& name) {
  if (name.empty() || !plat::IsPlainName(name.c_str())) return "";
  return FindInWebHmi(location, "DASHBOARDS/" + name, "DASHBOARDS/" + name);
}

bool WebHmi_AddChannel(std::vector<WebHmiChannel>* list, const std::string& prefix, int number) {
  for (const WebHmiChannel& c : *list)
    if (Same(c, prefix, number)) return false;
  WebHmiChannel c{prefix, number};
  list->insert(std::upper_bound(list->begin(), list->end(), c, Before), c);
  return true;
}

std::vector<WebHmiChannel> WebHmi_GatherChannels(const std::string& location, const std::string& shownLocation) {
  std::vector<WebHmiChannel> list;
  std::string menuPath = WebHmi_MenuPath(location);
  std::string menu;
  if (!ReadFile(menuPath, &menu)) {
    Debug("Can't read menu file %s to determine number of WebHMIChannels\r\n", menuPath);
    return list;
  }
  const bool tarvi = strcasecmp(Prod_GetProductName(), "Tarvi") == 0;
  for (const std::string& item : Elements(menu, "Item")) {
    std::string name = Trim(item);
    std::string path = WebHmi_DashboardPath(location, name);
    std::string dashboard;
    if (path.empty() || !ReadFile(path, &dashboard)) {
      Debug("Can't read dashboard %s to determine number of WebHMIChannels\r\n", path.empty() ? name : path);
      continue;
    }
    std::vector<std::string> channels = Elements(dashboard, "channel");
    if (!tarvi) {
      std::vector<std::string> x = Elements(dashboard, "XChannel");
      channels.insert(channels.end(), x.begin(), x.end());
    }
    for (const std::string& ch : channels) {
      std::vector<std::string> prefix = Elements(ch, "prefix"), no = Elements(ch, "no");
      if (prefix.empty() || no.empty()) continue;
      std::string p = Trim(prefix[0]);
      int n = atoi(Trim(no[0]).c_str());
      if (p.empty() || n == 0) continue;
      WebHmi_AddChannel(&list, p, n);
    }
  }
  char line[1400];
  if (list.empty())
    snprintf(line, sizeof line, "No WebHMIChannels for %s\r\n", shownLocation.c_str());
  else
    snprintf(line, sizeof line, "%d WebHMIChannels for %s\r\n", static_cast<int>(list.size()), shownLocation.c_str());
  plat::OutputDebugText(line);
  return list;
}
