// The file requests of the central server (RF, WF, SF, TF, DF) answered
// from a folder of the fake server's own, as a server answers them from its
// machine's disks: a request's path (with '\' separators, a drive letter
// or not) names a file below the folder. A path that would leave the
// folder ("..") is refused. Plug it into a Script with SetHandler; other
// requests are left to the script's rules.
#pragma once
#include <optional>
#include <string>

#include "tools/fakesrv/fakesrv.h"

namespace fakesrv {

class FolderFiles {
 public:
  explicit FolderFiles(std::string root) : root_(std::move(root)) {}
  std::optional<Action> operator()(const std::string& request) const;
  // The file of the folder that a request's path names, "" when refused.
  std::string Local(const std::string& remote) const;

 private:
  std::string root_;
};

}  // namespace fakesrv
