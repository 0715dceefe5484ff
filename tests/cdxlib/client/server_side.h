// The server's side of configuration and file requests for the command
// client's tests: a fake-server handler that answers IF, GF, HF, FF, CF and
// the file requests RF, WF, SF over a configuration root of its own, with
// the real loaders and savers. And bridges that put a fake-server engine
// behind the TLS and web-service test servers.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cdxlib/config/configfiles.h"
#include "tools/cdxnetsrv/soapserver.h"
#include "tools/cdxnetsrv/tlsserver.h"
#include "tools/fakesrv/fakesrv.h"

namespace serverside {

inline std::vector<std::string> SplitOn(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t at = s.find(sep, start);
    out.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return out;
    start = at + 1;
  }
}

// Answers the configuration and file requests over root (the server's
// CDX_CURRENT_CONFIG). Codes in `refused` are left to the script's rules.
class ConfigServer {
 public:
  explicit ConfigServer(std::string root) : root_(std::move(root)) {}
  std::set<std::string> refused;

  std::optional<fakesrv::Action> operator()(const std::string& request) {
    std::string code = request.substr(0, 2);
    if (refused.count(code)) return std::nullopt;
    if (code == "RF" || code == "WF" || code == "SF") return File(code, request);
    if (code == "IF" || code == "GF" || code == "HF" || code == "FF" || code == "CF") return Config(code, request);
    return std::nullopt;
  }

  std::string Local(const std::string& remote) const {
    std::string p = remote;
    const std::string head = "CDX_CURRENT_CONFIG";
    if (p.compare(0, head.size(), head) != 0) return "";
    p = root_ + p.substr(head.size());
    for (char& c : p)
      if (c == '\\') c = '/';
    return p;
  }

 private:
  static const char* Opt(const std::string& s) { return s == " " || s.empty() ? nullptr : s.c_str(); }
  std::string Dir(const std::string& sub) const { return Opt(sub) ? root_ + "/" + sub : root_; }

  fakesrv::Action File(const std::string& code, const std::string& request) {
    size_t textEnd = request.find('\0');
    std::string text = request.substr(3, code == "WF" ? std::string::npos : textEnd - 3);
    // WF: the fields end with a tab, the data follows it.
    std::vector<std::string> f;
    std::string data;
    if (code == "WF") {
      size_t at = 0;
      for (int i = 0; i < 9; ++i) {
        size_t tab = text.find('\t', at);
        f.push_back(text.substr(at, tab - at));
        at = tab + 1;
      }
      data = text.substr(at);
    } else {
      f = SplitOn(text, '\t');
    }
    std::string path = Local(f[0]);
    if (path.empty()) return fakesrv::Text("-1,3,bad path");
    if (code == "SF") {
      struct stat st {};
      if (stat(path.c_str(), &st) != 0) return fakesrv::Text("-1,2,x");  // the size reply holds 9 bytes
      return fakesrv::Text(std::to_string(st.st_size));
    }
    long bytes = atol(f[1].c_str()), distance = atol(f[2].c_str());
    int disposition = atoi(f[7].c_str());
    int flags = code == "RF" ? O_RDONLY : O_RDWR;
    if (disposition == 2) flags |= O_CREAT | O_TRUNC;
    if (disposition == 4) flags |= O_CREAT;
    int fd = open(path.c_str(), flags, 0666);
    if (fd < 0) return fakesrv::Text("-1,2,cannot open");
    if (distance != -1) lseek(fd, distance, SEEK_SET);
    if (code == "RF") {
      std::string area(static_cast<size_t>(bytes), '\0');
      ssize_t n = read(fd, area.data(), area.size());
      close(fd);
      return fakesrv::Text("1," + area + "," + std::to_string(n < 0 ? 0 : n));
    }
    ssize_t n = write(fd, data.data(), data.size());
    close(fd);
    return fakesrv::Text(n == static_cast<ssize_t>(data.size()) ? "1" : "-1,29,short write");
  }

  fakesrv::Action Config(const std::string& code, const std::string& request) {
    if (code == "CF") {
      // "CF,name,number,length,user," then the record.
      size_t at = 3;
      std::vector<std::string> f;
      for (int i = 0; i < 4; ++i) {
        size_t comma = request.find(',', at);
        f.push_back(request.substr(at, comma - at));
        at = comma + 1;
      }
      std::string rec = request.substr(at);
      mkdir((root_ + "/LOGGERS").c_str(), 0777);
      std::string path = root_ + "/LOGGERS/" + f[0] + "_" + f[1];
      int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0666);
      if (fd < 0) return fakesrv::Text("-1,5,denied");
      ssize_t n = write(fd, rec.data(), rec.size());
      close(fd);
      return fakesrv::Text(n == static_cast<ssize_t>(rec.size()) ? "1" : "-1,29,short");
    }
    size_t textEnd = request.find('\0');
    std::vector<std::string> f = SplitOn(request.substr(3, textEnd - 3), ',');
    std::string data = textEnd == std::string::npos ? "" : request.substr(textEnd + 1);
    if (code == "IF") {
      int first = atoi(f[2].c_str()), count = atoi(f[3].c_str());
      uint32_t extraLength = static_cast<uint32_t>(atol(f[4].c_str()));
      std::vector<ChannelConfig> recs(static_cast<size_t>(count) + 1);
      std::string extra(extraLength, '\0');
      if (Cfg_LoadChannels(Dir(f[1]).c_str(), atoi(f[6].c_str()), recs.data(), first, count,
                           extraLength ? extra.data() : nullptr, extraLength, Opt(f[5])) != 0)
        return fakesrv::Text("-1," + std::to_string(errno) + ",load failed");
      return fakesrv::Bytes("1," + std::string(reinterpret_cast<char*>(recs.data()), count * sizeof(ChannelConfig)) +
                            extra);
    }
    if (code == "GF") {
      uint32_t size = static_cast<uint32_t>(atol(f[2].c_str())), extraLength = static_cast<uint32_t>(atol(f[3].c_str()));
      std::string record(size, '\0'), extra(extraLength, '\0');
      uint8_t en = 0, so = 0, bt = 0;
      uint32_t rate = 0;
      if (Cfg_LoadDeviceEx(Dir(f[1]).c_str(), record.data(), size, extraLength ? extra.data() : nullptr, extraLength,
                           Opt(f[4]), f[5] == "1" ? &en : nullptr, f[6] == "1" ? &so : nullptr,
                           f[7] == "1" ? &bt : nullptr, f[8] == "1" ? &rate : nullptr) != 0)
        return fakesrv::Text("-1," + std::to_string(errno) + ",load failed");
      std::string head = {'1', ',', static_cast<char>(en), static_cast<char>(so), static_cast<char>(bt)};
      head.append(reinterpret_cast<char*>(&rate), 4);
      return fakesrv::Bytes(head + record + extra);
    }
    if (code == "HF") {
      int first = atoi(f[3].c_str()), count = atoi(f[4].c_str());
      uint32_t extraLength = static_cast<uint32_t>(atol(f[5].c_str()));
      std::vector<ChannelConfig> recs(static_cast<size_t>(count) + 1);
      memcpy(recs.data(), data.data(), count * sizeof(ChannelConfig));
      const char* extra = data.data() + count * sizeof(ChannelConfig);
      int rc = f[8] == "1" ? Cfg_SaveChannels(nullptr, Dir(f[2]).c_str(), atoi(f[7].c_str()), recs.data(), first, count,
                                              extraLength ? extra : nullptr, extraLength, Opt(f[6]))
                           : Cfg_RewriteChannels(nullptr, Dir(f[2]).c_str(), atoi(f[7].c_str()), recs.data(), first,
                                                 count, extraLength ? extra : nullptr, extraLength, Opt(f[6]));
      return fakesrv::Text(rc == 0 ? "1" : "-1," + std::to_string(errno) + ",save failed");
    }
    // FF
    uint32_t size = static_cast<uint32_t>(atol(f[3].c_str())), extraLength = static_cast<uint32_t>(atol(f[4].c_str()));
    uint8_t en = static_cast<uint8_t>(atoi(f[6].c_str())), so = static_cast<uint8_t>(atoi(f[7].c_str())),
            bt = static_cast<uint8_t>(atoi(f[8].c_str()));
    uint32_t rate = static_cast<uint32_t>(atol(f[9].c_str()));
    int rc = Cfg_SaveDeviceEx(nullptr, Dir(f[2]).c_str(), data.data(), size,
                              extraLength ? data.data() + size : nullptr, extraLength, Opt(f[5]),
                              Opt(f[6]) ? &en : nullptr, Opt(f[7]) ? &so : nullptr, Opt(f[8]) ? &bt : nullptr,
                              Opt(f[9]) ? &rate : nullptr);
    return fakesrv::Text(rc == 0 ? "1" : "-1," + std::to_string(errno) + ",save failed");
  }

  std::string root_;
};

// Whether the bytes so far hold a whole request: text requests end at their
// NUL; HF and FF carry their data length in the first field and the data
// after the NUL; WF the byte count after the path and the data after the
// ninth tab; CF the record length in its third field and the record after
// the fourth comma.
inline bool RequestComplete(const std::string& r) {
  if (r.size() < 2) return false;
  std::string code = r.substr(0, 2);
  if (code == "WF") {
    size_t at = 0;
    std::vector<size_t> tabs;
    while (tabs.size() < 9) {
      size_t t = r.find('\t', at);
      if (t == std::string::npos) return false;
      tabs.push_back(t);
      at = t + 1;
    }
    long bytes = atol(r.c_str() + tabs[0] + 1);
    return r.size() >= tabs[8] + 1 + static_cast<size_t>(bytes);
  }
  if (code == "CF") {
    size_t at = 3;
    std::vector<size_t> commas;
    while (commas.size() < 4) {
      size_t c = r.find(',', at);
      if (c == std::string::npos) return false;
      commas.push_back(c);
      at = c + 1;
    }
    long length = atol(r.c_str() + commas[1] + 1);
    return r.size() >= commas[3] + 1 + static_cast<size_t>(length);
  }
  size_t nul = r.find('\0');
  if (nul == std::string::npos) return false;
  if (code == "HF" || code == "FF") return r.size() >= nul + 1 + static_cast<size_t>(atol(r.c_str() + 3));
  return true;
}

// The engine's answer as the TLS test server carries it out. A stall lasts
// until the client goes away.
inline cdxnet::ServerAction ToTls(fakesrv::Engine* engine, const std::string& request) {
  engine->Begin();
  fakesrv::Action a = engine->Handle(request);
  engine->End();
  switch (a.kind) {
    case fakesrv::ActionKind::Reply: return cdxnet::ServerAction::Reply(a.bytes);
    case fakesrv::ActionKind::Empty: return cdxnet::ServerAction::Reply("");
    case fakesrv::ActionKind::Stall: return cdxnet::ServerAction::Stall();
    case fakesrv::ActionKind::Cut: return cdxnet::ServerAction::Close();
    case fakesrv::ActionKind::Garbage: return cdxnet::ServerAction::Raw(std::string(a.count, '\x9c'));
    case fakesrv::ActionKind::Endless: {
      cdxnet::ServerAction r = cdxnet::ServerAction::Reply(std::string(1000, 'x'));
      r.cutAfter = 500;
      return r;
    }
  }
  return cdxnet::ServerAction::Close();
}

inline cdxnet::SoapAction ToSoap(fakesrv::Engine* engine, const cdxnet::SoapCall& call) {
  engine->Begin();
  fakesrv::Action a = engine->Handle(call.request);
  engine->End();
  switch (a.kind) {
    case fakesrv::ActionKind::Reply: return cdxnet::SoapAction::Reply(a.bytes);
    case fakesrv::ActionKind::Empty: return cdxnet::SoapAction::Reply("");
    case fakesrv::ActionKind::Stall: return cdxnet::SoapAction::Stall();
    case fakesrv::ActionKind::Cut: return cdxnet::SoapAction::Close();
    case fakesrv::ActionKind::Garbage: return cdxnet::SoapAction::Raw(std::string(a.count, '\x9c'));
    case fakesrv::ActionKind::Endless: return cdxnet::SoapAction::Status(500);
  }
  return cdxnet::SoapAction::Close();
}

}  // namespace serverside
