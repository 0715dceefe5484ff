// The channels that the system's web HMI dashboards show, gathered for the
// in-process logged-data source.
//
// The web HMI keeps a menu ("menu.xml") whose "<Item>" elements name its
// dashboards; a dashboard lists its channels as "<channel>" (and, for
// products other than Tarvi, "<XChannel>") elements with a "<prefix>" and a
// "<no>". The web HMI folder sits beside the logged data: a logger directory
// ".../LOGGED_DATA/..." has it at ".../WEBHMI"; otherwise it is the logical
// directory "CDX_WEBHMI".
#pragma once
#include <string>
#include <vector>

struct WebHmiChannel {
  std::string prefix;  // one or two letters
  int number;
};

// The menu's path for a logger location: walking up the location, the first
// directory component "LOGGED_DATA" whose place holds "WEBHMI/menu.xml";
// else "menu.xml" in CDX_WEBHMI. `location` is a directory of this machine
// ("" for a database location, which has no folder to walk).
std::string WebHmi_MenuPath(const std::string& location);
// The path of a dashboard named in the menu, found the same way under
// "WEBHMI/DASHBOARDS" (else CDX_WEBHMI's "DASHBOARDS"); "" for a name that
// is not one plain file name.
std::string WebHmi_DashboardPath(const std::string& location, const std::string& name);

// The channels of every dashboard of the menu, each once, sorted by prefix
// (without case) and then number. Reports on the debugger output what it
// could not read and how many channels it found for `shownLocation`.
std::vector<WebHmiChannel> WebHmi_GatherChannels(const std::string& location, const std::string& shownLocation);

// Adds a channel unless the list has it (the list stays sorted): true when added.
bool WebHmi_AddChannel(std::vector<WebHmiChannel>* list, const std::string& prefix, int number);
