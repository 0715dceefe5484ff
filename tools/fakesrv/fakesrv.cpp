// The fake central server (see fakesrv.h).
#include "tools/fakesrv/fakesrv.h"

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/error.h"
#include "platform/pipe.h"

namespace fakesrv {

Action Text(const std::string& text) { return Action{ActionKind::Reply, text + std::string(1, '\0')}; }
Action Bytes(const std::string& bytes) { return Action{ActionKind::Reply, bytes}; }
Action Empty() { return Action{ActionKind::Empty, ""}; }
Action Stall(int ms, const std::string& thenReply) {
  Action a{ActionKind::Stall, thenReply};
  a.stallMs = ms;
  return a;
}
Action Cut() { return Action{ActionKind::Cut, ""}; }
Action Garbage(size_t count) {
  Action a{ActionKind::Garbage, ""};
  a.count = count;
  return a;
}
Action Endless() { return Action{ActionKind::Endless, ""}; }

// ---------------------------------------------------------------- script

void Script::On(const std::string& prefix, Action action) {
  std::lock_guard<std::mutex> g(mutex_);
  rules_[prefix] = std::move(action);
}
void Script::Once(const std::string& prefix, Action action) {
  std::lock_guard<std::mutex> g(mutex_);
  once_[prefix].push_back(std::move(action));
}
void Script::SetDefault(Action action) {
  std::lock_guard<std::mutex> g(mutex_);
  default_ = std::move(action);
}
void Script::SetHandler(Handler handler) {
  std::lock_guard<std::mutex> g(mutex_);
  handler_ = std::move(handler);
}
void Script::Clear() {
  std::lock_guard<std::mutex> g(mutex_);
  once_.clear();
  rules_.clear();
  default_.reset();
  handler_ = nullptr;
}

Action Script::Decide(const std::string& request) {
  Handler handler;
  {
    std::lock_guard<std::mutex> g(mutex_);
    handler = handler_;
  }
  if (handler) {
    if (auto a = handler(request)) return *a;
  }
  std::lock_guard<std::mutex> g(mutex_);
  size_t best = 0;
  const std::string* bestKey = nullptr;
  bool bestOnce = false;
  for (auto& [k, v] : once_) {
    if (!v.empty() && request.compare(0, k.size(), k) == 0 && (!bestKey || k.size() > best)) {
      best = k.size(), bestKey = &k, bestOnce = true;
    }
  }
  for (auto& [k, v] : rules_) {
    if (request.compare(0, k.size(), k) == 0 && (!bestKey || k.size() > best)) best = k.size(), bestKey = &k, bestOnce = false;
  }
  if (bestKey && bestOnce) {
    auto& list = once_[*bestKey];
    Action a = list.front();
    list.erase(list.begin());
    return a;
  }
  if (bestKey) return rules_[*bestKey];
  if (default_) return *default_;
  return Text("-1,1,unknown request");
}

namespace {
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    if (c == 't') out += '\t';
    else if (c == 'n') out += '\n';
    else if (c == 'r') out += '\r';
    else if (c == '0') out += '\0';
    else if (c == 'x' && i + 2 < s.size() + 0 && i + 2 <= s.size() - 1) {
      out += static_cast<char>(strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else out += c;
  }
  return out;
}
}  // namespace

int Script::Load(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string prefix, verb;
    words >> prefix >> verb;
    std::string rest;
    std::getline(words, rest);
    if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
    Action a;
    if (verb == "text") a = Text(Unescape(rest));
    else if (verb == "hex") {
      std::string bytes;
      for (size_t i = 0; i + 1 < rest.size(); i += 2) bytes += static_cast<char>(strtol(rest.substr(i, 2).c_str(), nullptr, 16));
      a = Bytes(bytes);
    } else if (verb == "empty") a = Empty();
    else if (verb == "cut") a = Cut();
    else if (verb == "endless") a = Endless();
    else if (verb == "garbage") a = Garbage(strtoul(rest.c_str(), nullptr, 10));
    else if (verb == "stall") {
      std::istringstream r(rest);
      int ms = -1;
      r >> ms;
      std::string then;
      std::getline(r, then);
      if (!then.empty() && then[0] == ' ') then.erase(0, 1);
      a = Stall(ms, then.empty() ? "" : Unescape(then) + std::string(1, '\0'));
    } else return number;
    if (prefix == "*") SetDefault(a);
    else On(prefix, a);
  }
  return 0;
}

// ---------------------------------------------------------------- engine

Engine::Engine() = default;
Engine::~Engine() { Stop(); }

Action Engine::Handle(const std::string& request) {
  {
    std::lock_guard<std::mutex> g(mutex_);
    requests_.push_back(request);
  }
  changed_.notify_all();
  return script_.Decide(request);
}

void Engine::Begin() {
  std::lock_guard<std::mutex> g(mutex_);
  if (++inFlight_ > maxOverlap_) maxOverlap_ = inFlight_;
}
void Engine::End() {
  std::lock_guard<std::mutex> g(mutex_);
  --inFlight_;
}

bool Engine::WaitStall(int ms) {
  std::unique_lock<std::mutex> l(mutex_);
  ++stalled_;
  changed_.notify_all();
  auto done = [&] { return released_ || stopped_; };
  if (ms < 0) changed_.wait(l, done);
  else changed_.wait_for(l, std::chrono::milliseconds(ms), done);
  --stalled_;
  return !stopped_;
}

void Engine::Release() {
  {
    std::lock_guard<std::mutex> g(mutex_);
    released_ = true;
  }
  changed_.notify_all();
}
void Engine::Rearm() {
  std::lock_guard<std::mutex> g(mutex_);
  released_ = false;
  stopped_ = false;
}
void Engine::Stop() {
  {
    std::lock_guard<std::mutex> g(mutex_);
    stopped_ = true;
  }
  changed_.notify_all();
}
bool Engine::Stopped() const {
  std::lock_guard<std::mutex> g(mutex_);
  return stopped_;
}

std::vector<std::string> Engine::Requests() const {
  std::lock_guard<std::mutex> g(mutex_);
  return requests_;
}
size_t Engine::RequestCount() const {
  std::lock_guard<std::mutex> g(mutex_);
  return requests_.size();
}
void Engine::ClearRequests() {
  std::lock_guard<std::mutex> g(mutex_);
  requests_.clear();
}
bool Engine::WaitForRequests(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> l(mutex_);
  return changed_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= n; });
}
bool Engine::WaitForStalled(int timeoutMs) const {
  std::unique_lock<std::mutex> l(mutex_);
  return changed_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return stalled_ > 0; });
}
int Engine::MaxOverlap() const {
  std::lock_guard<std::mutex> g(mutex_);
  return maxOverlap_;
}
void Engine::CountAccept() {
  std::lock_guard<std::mutex> g(mutex_);
  ++accepts_;
}
int Engine::Accepts() const {
  std::lock_guard<std::mutex> g(mutex_);
  return accepts_;
}

// ---------------------------------------------------------------- pipe front end

PipeServer::~PipeServer() { Stop(); }

int PipeServer::Start(const std::string& host, const std::string& pipe) {
  name_ = "\\\\" + host + "\\pipe\\" + pipe;
  engine_->Rearm();
  listenFd_ = plat::PipeCreate(name_);
  if (listenFd_ < 0) return -1;
  running_ = true;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return 0;
}

void PipeServer::AcceptLoop() {
  for (;;) {
    {
      std::lock_guard<std::mutex> g(mutex_);
      if (!running_) return;
    }
    int fd = plat::PipeAccept(listenFd_, 50);
    if (fd < 0) continue;
    engine_->CountAccept();
    std::lock_guard<std::mutex> g(mutex_);
    if (!running_) {
      close(fd);
      return;
    }
    clients_.push_back(fd);
    workers_.emplace_back([this, fd] { Serve(fd); });
  }
}

void PipeServer::Serve(int fd) {
  std::string request;
  unsigned seed = static_cast<unsigned>(fd) * 2654435761u;
  for (;;) {
    int rc = plat::PipeReadMessage(fd, &request, 50);
    if (rc != 0) {
      std::lock_guard<std::mutex> g(mutex_);
      if (!running_) break;
      bool open = false;
      for (int c : clients_) open |= c == fd;
      if (!open) break;
      // 258: nothing yet; anything else: the client went away.
      if (plat::GetLastError() != plat::kErrWaitTimeout) break;
      continue;
    }
    engine_->Begin();
    Action a = engine_->Handle(request);
    bool keep = true;
    switch (a.kind) {
      case ActionKind::Reply:
        keep = plat::PipeWriteMessage(fd, a.bytes.data(), a.bytes.size(), 5000) == 0;
        break;
      case ActionKind::Empty:
        keep = plat::PipeWriteMessage(fd, "", 0, 5000) == 0;
        break;
      case ActionKind::Stall:
        if (engine_->WaitStall(a.stallMs) && !a.bytes.empty())
          keep = plat::PipeWriteMessage(fd, a.bytes.data(), a.bytes.size(), 5000) == 0;
        else
          keep = false;
        break;
      case ActionKind::Cut:
        keep = false;
        break;
      case ActionKind::Garbage:
      case ActionKind::Endless: {
        // A message transport has no endless reply: the longest message it carries.
        size_t n = a.kind == ActionKind::Endless ? (1u << 19) : a.count;
        std::string junk(n, '\0');
        for (char& c : junk) {
          seed = seed * 1103515245u + 12345u;
          c = static_cast<char>('A' + (seed >> 16) % 26);
        }
        keep = plat::PipeWriteMessage(fd, junk.data(), junk.size(), 5000) == 0;
        break;
      }
    }
    engine_->End();
    if (!keep) break;
  }
  std::lock_guard<std::mutex> g(mutex_);
  for (auto it = clients_.begin(); it != clients_.end(); ++it) {
    if (*it == fd) {
      clients_.erase(it);
      close(fd);
      break;
    }
  }
}

void PipeServer::DropClients() {
  std::lock_guard<std::mutex> g(mutex_);
  for (int fd : clients_) shutdown(fd, SHUT_RDWR);
}

void PipeServer::Stop() {
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (!running_ && !acceptor_.joinable()) return;
    running_ = false;
    for (int fd : clients_) shutdown(fd, SHUT_RDWR);
  }
  engine_->Stop();
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> g(mutex_);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
  plat::PipeDestroy(listenFd_, name_);
  listenFd_ = -1;
}

}  // namespace fakesrv
