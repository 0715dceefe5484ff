// A private MariaDB server for the tests of one test process: its own data
// directory and socket under the process's instance root, made with
// mariadb-install-db and run by mariadbd (never the machine's service).
// Started on first use, stopped when the tests end. Tests that need it
// skip, with the reason, only when the server programs are missing.
// Benchmarks define LOGDB_NO_GTEST and call Start and Stop themselves.
#pragma once
#ifndef LOGDB_NO_GTEST
#include <gtest/gtest.h>
#endif
#include <mysql.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace testdb {

class MariaDbServer {
 public:
#ifndef LOGDB_NO_GTEST
  // The shared server, or null with the reason in *why.
  static MariaDbServer* Get(std::string* why, bool* missing = nullptr) {
    static MariaDbServer* server = [] {
      auto* s = new MariaDbServer;
      s->Start();
      ::testing::AddGlobalTestEnvironment(new Stopper(s));
      return s;
    }();
    if (!server->ok_) {
      *why = server->why_;
      if (missing) *missing = server->missing_;
      return nullptr;
    }
    return server;
  }

#endif

  const std::string& socket() const { return socket_; }
  pid_t pid() const { return pid_; }

  // A new empty database for one test, and a root connection string of the
  // ADO layer's MariaDB provider for it.
  std::string NewDatabase() {
    static std::atomic<int> n{0};
    std::string name = "t_" + std::to_string(getpid()) + "_" + std::to_string(++n);
    Admin("CREATE DATABASE " + name);
    return name;
  }
  std::string AdoConnection(const std::string& db) const {
    return "Provider=MariaDB;Socket=" + socket_ + ";Database=" + db + ";User ID=root;Password=";
  }
  // Runs a statement as root; false with the text in *error.
  bool Admin(const std::string& sql, std::string* error = nullptr) {
    MYSQL* m = Connect();
    if (!m) {
      if (error) *error = "cannot connect";
      return false;
    }
    bool ok = mysql_real_query(m, sql.data(), sql.size()) == 0;
    if (!ok && error) *error = mysql_error(m);
    if (MYSQL_RES* r = mysql_store_result(m)) mysql_free_result(r);
    mysql_close(m);
    return ok;
  }
  MYSQL* Connect() const {
    MYSQL* m = mysql_init(nullptr);
    if (!mysql_real_connect(m, nullptr, "root", "", nullptr, 0, socket_.c_str(), 0)) {
      mysql_close(m);
      return nullptr;
    }
    return m;
  }

 private:
#ifndef LOGDB_NO_GTEST
  struct Stopper : ::testing::Environment {
    explicit Stopper(MariaDbServer* s) : server(s) {}
    void TearDown() override { server->Stop(); }
    MariaDbServer* server;
  };

#endif

 public:
  ~MariaDbServer() { Stop(); }

  // Starts the server; ok() tells whether it runs, why() why not. A machine
  // under load can make mariadb-install-db or the first start fail: the
  // whole set-up is tried twice, each step with a generous deadline, and
  // the logs of a failed try are kept and printed.
  void Start() {
    std::string install = Find("mariadb-install-db"), daemon = Find("mariadbd");
    if (install.empty() || daemon.empty()) {
      why_ = "MariaDB server programs (mariadbd, mariadb-install-db) are not installed";
      missing_ = true;
      return;
    }
    const char* root = std::getenv("CDXPLAT_ROOT");
    std::string base = std::string(root ? root : "/tmp") + "/mariadb";
    std::string reasons;
    for (int attempt = 1; attempt <= 2 && !ok_; ++attempt) {
      // Each try has a directory of its own, so the logs of a failed one stay.
      dir_ = base + (attempt == 1 ? "" : "-" + std::to_string(attempt));
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
      std::filesystem::create_directories(dir_, ec);
      if (TryStart(install, daemon)) break;
      std::string logs = Tail(dir_ + "/install.log") + Tail(dir_ + "/err.log") + Tail(dir_ + "/daemon.log");
      std::fprintf(stderr, "MariaDB test server, try %d: %s\n%s", attempt, why_.c_str(), logs.c_str());
      reasons += (reasons.empty() ? "" : "; then ") + why_;
    }
    if (!ok_) why_ = reasons;
  }

  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status;
      waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    ok_ = false;
  }

  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }

 private:
  // One try: a new data directory, then the server until it answers.
  bool TryStart(const std::string& install, const std::string& daemon) {
    socket_ = dir_ + "/sock";
    // Each instance has a temporary folder of its own: servers that share /tmp
    // for their internal temporary tables fail to bootstrap side by side.
    const std::string tmp = dir_ + "/tmp";
    std::filesystem::create_directories(tmp);
    std::string user = geteuid() == 0 ? "root" : "";
    if (user.empty()) {
      const char* u = std::getenv("USER");
      user = u ? u : "";
    }
    std::vector<std::string> args = {install, "--no-defaults", "--datadir=" + dir_ + "/data",
                                     "--tmpdir=" + tmp, "--auth-root-authentication-method=normal",
                                     "--skip-test-db"};
    if (!user.empty()) args.push_back("--user=" + user);
    pid_t p = Spawn(args, dir_ + "/install.log");
    int status = 0;
    if (p < 0) {
      why_ = "cannot start mariadb-install-db";
      return false;
    }
    if (!WaitExit(p, std::chrono::seconds(300), &status)) {
      why_ = "mariadb-install-db did not finish within 300 s (see " + dir_ + "/install.log)";
      return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      why_ = "mariadb-install-db failed with status " + std::to_string(status) + " (see " + dir_ + "/install.log)";
      return false;
    }
    daemon_ = {daemon, "--no-defaults", "--datadir=" + dir_ + "/data", "--socket=" + socket_,
               "--tmpdir=" + tmp, "--skip-networking", "--pid-file=" + dir_ + "/pid",
               "--log-error=" + dir_ + "/err.log", "--skip-log-bin",
               "--innodb-buffer-pool-size=32M", "--max-connections=200"};
    if (!user.empty()) daemon_.push_back("--user=" + user);
    return StartDaemon();
  }

  // Runs mariadbd on the data directory until it answers.
  bool StartDaemon() {
    int status = 0;
    pid_ = Spawn(daemon_, dir_ + "/daemon.log");
    if (pid_ < 0) {
      why_ = "cannot start mariadbd";
      return false;
    }
    // Ready when it accepts a connection; gone when the process ended.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
    while (std::chrono::steady_clock::now() < deadline) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        why_ = "mariadbd ended at start with status " + std::to_string(status) + " (see " + dir_ + "/err.log)";
        return false;
      }
      if (MYSQL* m = Connect()) {
        mysql_close(m);
        ok_ = true;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    why_ = "mariadbd did not accept connections within 300 s (see " + dir_ + "/err.log)";
    Stop();
    return false;
  }

 public:
  // Ends the server at once, as a crash or a power cut would (SIGKILL).
  void Kill() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      int status;
      waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    ok_ = false;
  }
  // Starts the server again on the data it had (after Kill or Stop).
  bool Restart() {
    if (pid_ > 0 || daemon_.empty()) return ok_;
    if (!StartDaemon()) {
      std::fprintf(stderr, "MariaDB test server restart: %s\n%s", why_.c_str(), Tail(dir_ + "/err.log").c_str());
      return false;
    }
    return true;
  }

 private:
  // Waits for a child with a deadline; kills it when the deadline passes.
  static bool WaitExit(pid_t pid, std::chrono::seconds limit, int* status) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      pid_t r = waitpid(pid, status, WNOHANG);
      if (r == pid) return true;
      if (r < 0 && errno != EINTR) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, status, 0);
    return false;
  }

  // The last lines of a log, framed for printing ("" when there is none).
  static std::string Tail(const std::string& path, size_t maxBytes = 4000) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return "";
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
      text.append(buf, n);
      if (text.size() > 2 * maxBytes) text.erase(0, text.size() - maxBytes);
    }
    std::fclose(f);
    if (text.size() > maxBytes) text.erase(0, text.size() - maxBytes);
    if (text.empty()) return "";
    return "---- " + path + " ----\n" + text + (text.back() == '\n' ? "" : "\n");
  }

  static std::string Find(const char* name) {
    for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/usr/local/sbin/", "/usr/local/bin/", "/sbin/", "/bin/"}) {
      std::string p = std::string(dir) + name;
      if (access(p.c_str(), X_OK) == 0) return p;
    }
    return "";
  }

  static pid_t Spawn(const std::vector<std::string>& args, const std::string& log) {
    pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // no server outlives a crashed test
      FILE* f = std::fopen(log.c_str(), "a");
      if (f) {
        dup2(fileno(f), 1);
        dup2(fileno(f), 2);
      }
      std::vector<char*> argv;
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    return pid;  // -1 when fork failed
  }

  bool ok_ = false;
  bool missing_ = false;
  std::string why_;
  std::string dir_, socket_;
  std::vector<std::string> daemon_;  // the server's command line
  pid_t pid_ = -1;
};

}  // namespace testdb

// Skips the test, with the reason, when no server can run here.
// Skips only when the server programs are missing; any other failure to
// start fails the test.
#define NEED_MARIADB(var)                                                          \
  std::string var##_why;                                                           \
  bool var##_missing = false;                                                      \
  testdb::MariaDbServer* var = testdb::MariaDbServer::Get(&var##_why, &var##_missing); \
  if (!var && var##_missing) GTEST_SKIP() << var##_why;                            \
  if (!var) FAIL() << var##_why
