#include "logdb/ado/recording.h"

#include <memory>
#include <mutex>

namespace ado {

struct RecordingProvider::State {
  using Rule = RecordingProvider::Rule;
  std::mutex lock;
  std::vector<Entry> journal;
  std::vector<Rule> rules;

  // The first rule that matches and has answers left, or null.
  const Rule* Find(const std::string& text, bool connect) {
    for (Rule& r : rules) {
      if (r.onConnect != connect || r.times == 0) continue;
      if (text.find(r.match) == std::string::npos) continue;
      if (r.times > 0) --r.times;
      return &r;
    }
    return nullptr;
  }
};

namespace {

using Rule = RecordingProvider::Rule;
using Entry = RecordingProvider::Entry;

class Session final : public Provider {
 public:
  Session(std::shared_ptr<RecordingProvider::State> state, std::string connection)
      : state_(std::move(state)), connection_(std::move(connection)) {}
  const char* Source() const override { return "Recording"; }

  ResultSet Run(const std::string& sql, const std::vector<Variant>& params, bool wantKeys) override {
    Rule rule;
    bool found = false;
    {
      std::lock_guard<std::mutex> g(state_->lock);
      state_->journal.push_back({connection_, sql, params});
      if (const auto* r = state_->Find(sql, false)) {
        rule = *r;
        found = true;
      }
    }
    ResultSet out;
    if (!found) return out;
    if (rule.fails) throw rule.error;
    if (!rule.names.empty()) {
      out.hasRows = true;
      out.names = rule.names;
      out.rows = rule.rows;
      out.updatable = wantKeys;
    }
    return out;
  }
  int64_t InsertRow(const std::string& table, const std::vector<std::string>& names,
                    const std::vector<Variant>& values) override {
    std::string sql = "INSERT INTO " + table + " (";
    for (size_t i = 0; i < names.size(); ++i) sql += (i ? ", " : "") + names[i];
    sql += ")";
    Run(sql, values, false);
    return 0;
  }
  void UpdateRow(const std::string& table, int64_t, const std::vector<std::string>& names,
                 const std::vector<Variant>&, const std::vector<int>& changed,
                 const std::vector<Variant>& values) override {
    std::string sql = "UPDATE " + table + " SET";
    std::vector<Variant> bound;
    for (int c : changed) {
      sql += " " + names[c];
      bound.push_back(values[c]);
    }
    Run(sql, bound, false);
  }
  void DeleteRow(const std::string& table, int64_t, const std::vector<std::string>&,
                 const std::vector<Variant>&) override {
    Run("DELETE FROM " + table, {}, false);
  }
  std::vector<std::string> Tables() override { return {}; }
  void CreateTable(const std::string& name, const std::vector<ColumnDef>&) override {
    Run("CREATE TABLE " + name, {}, false);
  }

 private:
  std::shared_ptr<RecordingProvider::State> state_;
  std::string connection_;
};

// The recorders are kept per process; one is enough for a test.
std::shared_ptr<RecordingProvider::State>& Current() {
  static std::shared_ptr<RecordingProvider::State> s;
  return s;
}

}  // namespace

RecordingProvider::RecordingProvider(std::vector<std::string> keywords) : keywords_(std::move(keywords)) {
  auto state = std::make_shared<State>();
  Current() = state;
  for (const auto& k : keywords_) {
    previous_.push_back(RegisterProvider(k, [state](const ConnectionString& cs, bool) -> std::unique_ptr<Provider> {
      Rule rule;
      bool found = false;
      {
        std::lock_guard<std::mutex> g(state->lock);
        state->journal.push_back({cs.text(), "", {}});
        if (const auto* r = state->Find(cs.text(), true)) {
          rule = *r;
          found = true;
        }
      }
      if (found && rule.fails) throw rule.error;
      return std::make_unique<Session>(state, cs.text());
    }));
  }
}

RecordingProvider::~RecordingProvider() {
  for (size_t i = 0; i < keywords_.size(); ++i) RegisterProvider(keywords_[i], previous_[i]);
  Current().reset();
}

void RecordingProvider::AddRule(Rule rule) {
  auto s = Current();
  std::lock_guard<std::mutex> g(s->lock);
  s->rules.push_back(std::move(rule));
}

void RecordingProvider::FailOn(const std::string& match, int32_t hresult, const std::string& description, int times) {
  Rule r;
  r.match = match;
  r.fails = true;
  r.times = times;
  r.error = ComError{hresult, "Recording", description};
  AddRule(std::move(r));
}

void RecordingProvider::AnswerRows(const std::string& match, std::vector<std::string> names,
                                   std::vector<std::vector<Variant>> rows, int times) {
  Rule r;
  r.match = match;
  r.times = times;
  r.names = std::move(names);
  r.rows = std::move(rows);
  AddRule(std::move(r));
}

void RecordingProvider::FailConnect(const std::string& match, int32_t hresult, const std::string& description) {
  Rule r;
  r.match = match;
  r.onConnect = true;
  r.fails = true;
  r.error = ComError{hresult, "Recording", description};
  AddRule(std::move(r));
}

std::vector<RecordingProvider::Entry> RecordingProvider::Journal() const {
  auto s = Current();
  std::lock_guard<std::mutex> g(s->lock);
  return s->journal;
}

std::vector<std::string> RecordingProvider::Statements() const {
  std::vector<std::string> out;
  for (auto& e : Journal())
    if (!e.sql.empty()) out.push_back(e.sql);
  return out;
}

void RecordingProvider::Clear() {
  auto s = Current();
  std::lock_guard<std::mutex> g(s->lock);
  s->journal.clear();
}

}  // namespace ado
