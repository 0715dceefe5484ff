// A fake central server for tests, benchmarks and by-hand trials.
//
// The Engine decides what to do with each request (a Script of rules keyed
// by the request's leading bytes), keeps every request it received, and
// notices overlapping transactions. A transport front end (PipeServer here;
// the TLS and web-service servers plug the same Engine into their own
// sockets) receives a request, asks Engine::Handle for an Action and carries
// it out:
//   Reply    send the bytes as the whole reply
//   Empty    send an empty reply (0 bytes)
//   Stall    send nothing until the stall ends (its time, Release(), Stop()),
//            then the reply bytes if any, else cut
//   Cut      close the connection without a reply
//   Garbage  send `count` pseudo-random bytes (no leading number)
//   Endless  keep sending bytes until the client goes away (stream
//            transports: an announced total that never arrives, or a
//            reply without end)
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fakesrv {

enum class ActionKind { Reply, Empty, Stall, Cut, Garbage, Endless };

struct Action {
  ActionKind kind = ActionKind::Reply;
  std::string bytes;   // Reply (and Stall's reply afterwards)
  int stallMs = -1;    // Stall: -1 until released
  size_t count = 0;    // Garbage: how many bytes
};

// A text reply with its NUL ("1,abc" -> "1,abc\0").
Action Text(const std::string& text);
// A reply of exactly these bytes.
Action Bytes(const std::string& bytes);
Action Empty();
Action Stall(int ms = -1, const std::string& thenReply = "");
Action Cut();
Action Garbage(size_t count);
Action Endless();

// Rules: the longest matching prefix wins; a one-shot rule (Once) is used
// before the standing rules of the same prefix and then dropped; a handler
// sees every request first and may answer it. Without any match: the
// default action (the text "-1,1,unknown request").
class Script {
 public:
  void On(const std::string& prefix, Action action);
  void Once(const std::string& prefix, Action action);
  void SetDefault(Action action);
  using Handler = std::function<std::optional<Action>(const std::string& request)>;
  void SetHandler(Handler handler);
  void Clear();
  Action Decide(const std::string& request);
  // Reads rules from text, one per line: PREFIX VERB [ARG], VERB one of
  //   text T    (T with C escapes \t \n \\ \xHH, sent with a NUL)
  //   hex HH..  (exact bytes)   empty   cut   garbage N   endless
  //   stall MS [T]   (MS -1: until released)
  // PREFIX "*" sets the default; a line starting "#" is a comment. Returns
  // the number of the first bad line, or 0.
  int Load(const std::string& text);

 private:
  std::mutex mutex_;
  std::map<std::string, std::vector<Action>> once_;
  std::map<std::string, Action> rules_;
  std::optional<Action> default_;
  Handler handler_;
};

class Engine {
 public:
  Engine();
  ~Engine();
  Script& script() { return script_; }

  // Called by a front end for each request, between Begin and End of the
  // transaction; returns what to do. Records the request.
  Action Handle(const std::string& request);
  // Transaction brackets: count overlapping transactions.
  void Begin();
  void End();
  // Waits (for Stall) until released, stopped or ms elapsed; true when
  // released or elapsed, false when stopped.
  bool WaitStall(int ms);
  void Release();  // ends every stall now and later ones until Rearm()
  void Rearm();    // and clears a Stop()
  void Stop();     // ends every stall, front ends close
  bool Stopped() const;

  std::vector<std::string> Requests() const;
  size_t RequestCount() const;
  void ClearRequests();
  // Waits until at least n requests arrived (true) or timeoutMs passed.
  bool WaitForRequests(size_t n, int timeoutMs) const;
  // Waits until a stall is in progress (a request is held).
  bool WaitForStalled(int timeoutMs) const;
  int MaxOverlap() const;
  void CountAccept();
  int Accepts() const;

 private:
  Script script_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> requests_;
  int inFlight_ = 0;
  int maxOverlap_ = 0;
  int stalled_ = 0;
  int accepts_ = 0;
  bool released_ = false;
  bool stopped_ = false;
};

// Serves the pipe "\\host\pipe\coordinatrix" (host "." for this machine)
// with an engine: one thread per client connection.
class PipeServer {
 public:
  explicit PipeServer(Engine* engine) : engine_(engine) {}
  ~PipeServer();
  // Listens: 0, or -1 with the system error set.
  int Start(const std::string& host, const std::string& pipe = "coordinatrix");
  // Stops listening and closes every connection (stalls end).
  void Stop();
  // Closes every client connection now (the server keeps listening).
  void DropClients();

 private:
  void AcceptLoop();
  void Serve(int fd);
  Engine* engine_;
  std::string name_;
  int listenFd_ = -1;
  bool running_ = false;
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<int> clients_;
  std::vector<std::thread> workers_;
};

}  // namespace fakesrv
