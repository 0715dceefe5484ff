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
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

  // Starts the server; ok() tells whether it runs, why() why not.
  void Start() {
    std::string install = Find("mariadb-install-db"), daemon = Find("mariadbd");
    if (install.empty() || daemon.empty()) {
      why_ = "MariaDB server programs (mariadbd, mariadb-install-db) are not installed";
      missing_ = true;
      return;
    }
    const char* root = std::getenv("CDXPLAT_ROOT");
    dir_ = std::string(root ? root : "/tmp") + "/mariadb";
    std::filesystem::create_directories(dir_);
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
    waitpid(p, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      // The instance folder goes with the test's root: keep the log's text.
      why_ = "mariadb-install-db failed:\n" + Tail(dir_ + "/install.log");
      return;
    }
    std::vector<std::string> d = {daemon, "--no-defaults", "--datadir=" + dir_ + "/data", "--socket=" + socket_,
                                  "--tmpdir=" + tmp, "--skip-networking", "--pid-file=" + dir_ + "/pid",
                                  "--log-error=" + dir_ + "/err.log", "--skip-log-bin",
                                  "--innodb-buffer-pool-size=32M", "--max-connections=200"};
    if (!user.empty()) d.push_back("--user=" + user);
    pid_ = Spawn(d, dir_ + "/daemon.log");
    // Ready when it accepts a connection; gone when the process ended.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        why_ = "mariadbd ended at start:\n" + Tail(dir_ + "/err.log");
        return;
      }
      if (MYSQL* m = Connect()) {
        mysql_close(m);
        ok_ = true;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    why_ = "mariadbd did not accept connections";
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
  // The last lines of a log, for a failure message.
  static std::string Tail(const std::string& path) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.size() > 2000) text = text.substr(text.size() - 2000);
    return text;
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
    return pid;
  }

  bool ok_ = false;
  bool missing_ = false;
  std::string why_;
  std::string dir_, socket_;
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
