// The recording provider: keeps every statement it is given, with its
// connection string and bound parameters, and answers from a table of rules
// (rows, an error, or plain success). It stands in for databases that
// cannot run here (SQL Server), so that the statements a caller issues can
// be compared with the texts it must send.
#pragma once
#include <string>
#include <vector>

#include "logdb/ado/ado.h"

namespace ado {

class RecordingProvider {
 public:
  struct Entry {
    std::string connection;  // the connection string of the session
    std::string sql;         // "" for a connect
    std::vector<Variant> params;
  };
  struct Rule {
    std::string match;       // the statement (or, for connects, the connection string) contains it
    bool onConnect = false;  // the rule answers a connect instead of a statement
    int times = -1;          // answers left (-1 unlimited)
    bool fails = false;
    ComError error{};
    std::vector<std::string> names;  // rows to answer
    std::vector<std::vector<Variant>> rows;
  };

  // Installs the recording provider for the keyword (e.g. "SQLOLEDB");
  // Uninstall restores what was there.
  explicit RecordingProvider(std::vector<std::string> keywords);
  ~RecordingProvider();
  RecordingProvider(const RecordingProvider&) = delete;
  RecordingProvider& operator=(const RecordingProvider&) = delete;

  void AddRule(Rule rule);
  void FailOn(const std::string& match, int32_t hresult, const std::string& description, int times = -1);
  void AnswerRows(const std::string& match, std::vector<std::string> names,
                  std::vector<std::vector<Variant>> rows, int times = -1);
  void FailConnect(const std::string& match, int32_t hresult, const std::string& description);

  // Everything recorded so far (connects have an empty sql).
  std::vector<Entry> Journal() const;
  // The statement texts only, in order.
  std::vector<std::string> Statements() const;
  void Clear();

  struct State;

 private:
  std::vector<std::string> keywords_;
  std::vector<ProviderFactory> previous_;
};

}  // namespace ado
