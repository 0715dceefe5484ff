#include "logdb/ado/ado.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "cdxlib/sys/textcodec.h"
#include "cdxlib/sys/textutil.h"

namespace ado {

void Raise(int32_t hresult, const std::string& source, const std::string& description) {
  throw ComError{hresult, source, description};
}

namespace {

using cdxtext::Upper;

using cdxtext::Trim;

bool ParseDouble(const std::string& text, double* out) {
  std::string t = Trim(text);
  if (t.empty()) return false;
  const char* b = t.data();
  const char* e = b + t.size();
  if (*b == '+') ++b;
  auto [p, ec] = std::from_chars(b, e, *out);
  return ec == std::errc() && p == e;
}

constexpr int64_t kOleEpochOffsetDays = 25569;  // 1899-12-30 to 1970-01-01

}  // namespace

// ---- Variant -------------------------------------------------------------

double Variant::AsDouble() const {
  switch (vt) {
    case VT_I2: case VT_I4: case VT_I8: case VT_BOOL: return double(i);
    case VT_R4: case VT_R8: case VT_DATE: return d;
    case VT_BSTR: {
      double x;
      if (ParseDouble(s, &x)) return x;
      break;
    }
    default: break;
  }
  Raise(kTypeMismatch, "Variant", "Type mismatch.");
}

int64_t Variant::AsInt() const {
  switch (vt) {
    case VT_I2: case VT_I4: case VT_I8: case VT_BOOL: return i;
    default: {
      double x = AsDouble();
      if (!(x > -9.2e18 && x < 9.2e18)) Raise(kTypeMismatch, "Variant", "Overflow.");
      return int64_t(std::llround(x));
    }
  }
}

std::string Variant::AsText() const {
  char buf[64];
  switch (vt) {
    case VT_EMPTY: case VT_NULL: return "";
    case VT_I2: case VT_I4: case VT_I8: std::snprintf(buf, sizeof buf, "%lld", (long long)i); return buf;
    case VT_BOOL: return i ? "True" : "False";
    case VT_R4: std::snprintf(buf, sizeof buf, "%.9g", d); return buf;
    case VT_R8: std::snprintf(buf, sizeof buf, "%.17g", d); return buf;
    case VT_DATE: return OleDateToText(d);
    default: return s;
  }
}

bool Variant::Equals(const Variant& o) const {
  if (IsNull() || o.IsNull()) return false;
  if ((vt == VT_BSTR || vt == VT_BYTES) && (o.vt == VT_BSTR || o.vt == VT_BYTES)) return s == o.s;
  try {
    if (vt == VT_R4 || o.vt == VT_R4) return float(AsDouble()) == float(o.AsDouble());
    return AsDouble() == o.AsDouble();
  } catch (const ComError&) {
    return false;
  }
}

// ---- dates ---------------------------------------------------------------

double SecondsToOleDate(int64_t seconds) {
  // Whole days plus the time of day as a fraction, with the OLE rule for
  // dates before 1899-12-30 (the fraction counts forwards from the day).
  int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  int64_t rest = seconds - days * 86400;
  double day = double(days + kOleEpochOffsetDays);
  double frac = double(rest) / 86400.0;
  return day >= 0 ? day + frac : day - frac;
}

int64_t OleDateToSeconds(double date) {
  double day = std::trunc(date);
  double frac = std::fabs(date - day);
  // Before 1899-12-30 the day counts backwards and the time forwards:
  // -1.25 is 1899-12-29 06:00.
  int64_t secs = int64_t(std::llround(frac * 86400.0));
  return (int64_t(day) - kOleEpochOffsetDays) * 86400 + secs;
}

std::string OleDateToText(double date) {
  int64_t s = OleDateToSeconds(date);
  int64_t days = s >= 0 ? s / 86400 : -((-s + 86399) / 86400);
  int64_t tod = s - days * 86400;
  // Civil date from days since 1970 (proleptic Gregorian).
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t dd = doy - (153 * mp + 2) / 5 + 1;
  int64_t mm = mp < 10 ? mp + 3 : mp - 9;
  if (mm <= 2) ++y;
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", (long long)y, (long long)mm,
                (long long)dd, (long long)(tod / 3600), (long long)(tod / 60 % 60), (long long)(tod % 60));
  return buf;
}

bool TextToOleDate(const std::string& text, double* date) {
  int y, mo, d, h = 0, mi = 0, s = 0;
  char sep1, sep2;
  int n = std::sscanf(text.c_str(), "%d%c%d%c%d", &y, &sep1, &mo, &sep2, &d);
  if (n != 5 || (sep1 != '-' && sep1 != '/') || sep2 != sep1) return false;
  const char* t = std::strpbrk(text.c_str(), " T");
  if (t && std::sscanf(t + 1, "%d:%d:%d", &h, &mi, &s) < 2) return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 60) return false;
  // Days from civil.
  int64_t yy = y - (mo <= 2);
  int64_t era = (yy >= 0 ? yy : yy - 399) / 400;
  int64_t yoe = yy - era * 400;
  int64_t doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  int64_t days = era * 146097 + doe - 719468;
  *date = SecondsToOleDate(days * 86400 + h * 3600 + mi * 60 + s);
  return true;
}

// ---- text ----------------------------------------------------------------

std::string Cp1252ToUtf8(const std::string& text) {
  bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return (unsigned char)c < 0x80; });
  if (ascii) return text;
  std::string out;
  Codec_Utf16ToUtf8(Codec_Cp1252ToUtf16(text.data(), text.size()), &out);
  return out;
}

std::string Utf8ToCp1252(const std::string& text) {
  bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return (unsigned char)c < 0x80; });
  if (ascii) return text;
  static const std::map<char16_t, char> reverse = [] {
    std::map<char16_t, char> m;
    for (int b = 0x80; b < 0x100; ++b) {
      char c = char(b);
      std::u16string u = Codec_Cp1252ToUtf16(&c, 1);
      if (u.size() == 1) m.emplace(u[0], c);
    }
    return m;
  }();
  std::u16string u;
  if (!Codec_Utf8ToUtf16(text.data(), text.size(), &u)) return text;  // not UTF-8: the bytes as they are
  std::string out;
  out.reserve(u.size());
  for (char16_t c : u) {
    if (c < 0x80) {
      out += char(c);
    } else {
      auto it = reverse.find(c);
      out += it == reverse.end() ? '?' : it->second;
    }
  }
  return out;
}

// ---- result sets ----------------------------------------------------------

void ResultSet::Materialize() {
  if (!lazy) return;
  std::shared_ptr<RowSource> source = std::move(lazy);
  rows.reserve(source->Count());
  for (size_t i = 0; i < source->Count(); ++i) rows.push_back(source->Fetch(i));
}

// ---- connection strings --------------------------------------------------

ConnectionString::ConnectionString(const std::string& text) : text_(text) {
  size_t i = 0;
  while (i < text.size()) {
    size_t eq = text.find('=', i);
    if (eq == std::string::npos) break;
    std::string key = Upper(Trim(text.substr(i, eq - i)));
    size_t v = eq + 1;
    while (v < text.size() && text[v] == ' ') ++v;
    std::string value;
    size_t next;
    if (v < text.size() && (text[v] == '"' || text[v] == '\'')) {
      char q = text[v];
      size_t close = text.find(q, v + 1);
      if (close == std::string::npos) close = text.size();
      value = text.substr(v + 1, close - v - 1);
      next = text.find(';', close);
    } else {
      next = text.find(';', v);
      value = Trim(text.substr(v, next == std::string::npos ? std::string::npos : next - v));
    }
    if (!key.empty()) fields_.emplace_back(key, value);
    if (next == std::string::npos) break;
    i = next + 1;
  }
}

std::string ConnectionString::Get(std::initializer_list<const char*> keys) const {
  for (const char* k : keys) {
    std::string uk = Upper(k);
    for (const auto& [key, value] : fields_)
      if (key == uk) return value;
  }
  return "";
}

bool ConnectionString::Has(const char* key) const {
  std::string uk = Upper(key);
  for (const auto& f : fields_)
    if (f.first == uk) return true;
  return false;
}

// ---- providers -----------------------------------------------------------

std::unique_ptr<Provider> MakeSqliteProvider(const ConnectionString& cs, bool create);
std::unique_ptr<Provider> MakeMariaDbProvider(const ConnectionString& cs, bool create);

namespace {
std::mutex& RegistryLock() {
  static std::mutex m;
  return m;
}
std::map<std::string, ProviderFactory>& Registry() {
  static std::map<std::string, ProviderFactory> r = [] {
    std::map<std::string, ProviderFactory> m;
    m["MICROSOFT.JET.OLEDB.4.0"] = MakeSqliteProvider;
    m["SQLITE"] = MakeSqliteProvider;
    m["MARIADB"] = MakeMariaDbProvider;
    m["MYSQL"] = MakeMariaDbProvider;
    // ODBC by driver name: the MariaDB (or MySQL) driver is the MariaDB
    // provider; no other ODBC driver is here.
    m["MSDASQL"] = [](const ConnectionString& cs, bool create) -> std::unique_ptr<Provider> {
      std::string driver = Upper(cs.Get({"Driver"}));
      if (driver.find("MARIADB") == std::string::npos && driver.find("MYSQL") == std::string::npos)
        Raise(int32_t(0x80004005), "Microsoft OLE DB Provider for ODBC Drivers",
              "[Microsoft][ODBC Driver Manager] Data source name not found and no default driver specified");
      return MakeMariaDbProvider(cs, create);
    };
    return m;
  }();
  return r;
}
}  // namespace

ProviderFactory RegisterProvider(const std::string& keyword, ProviderFactory factory) {
  std::lock_guard<std::mutex> g(RegistryLock());
  auto& r = Registry();
  std::string key = Upper(keyword);
  ProviderFactory old;
  auto it = r.find(key);
  if (it != r.end()) old = it->second;
  if (factory)
    r[key] = std::move(factory);
  else if (it != r.end())
    r.erase(it);
  return old;
}

std::unique_ptr<Provider> OpenProvider(const std::string& connectionString, bool create) {
  ConnectionString cs(connectionString);
  std::string keyword = Upper(cs.Get({"Provider"}));
  ProviderFactory factory;
  {
    std::lock_guard<std::mutex> g(RegistryLock());
    auto& r = Registry();
    auto it = r.find(keyword);
    if (it != r.end()) factory = it->second;
  }
  if (!factory)
    Raise(kProviderNotFound, "ADODB.Connection",
          "Provider cannot be found. It may not be properly installed.");
  return factory(cs, create);
}

// ---- Connection ----------------------------------------------------------

void Connection::Open(const std::string& connectionString, const std::string&, const std::string&, long) {
  if (provider_) Raise(int32_t(0x800A0E79), "ADODB.Connection", "Operation is not allowed when the object is open.");
  provider_ = OpenProvider(connectionString, false);
}

void Connection::Close() {
  if (!provider_) Raise(kObjectClosed, "ADODB.Connection", "Operation is not allowed when the object is closed.");
  inTransaction_ = false;  // the session's open transaction ends with it, undone
  provider_.reset();
}

void Connection::Execute(const std::string& text, long, ResultSet* out) {
  if (!provider_) Raise(kObjectClosed, "ADODB.Connection", "Operation is not allowed when the object is closed.");
  ResultSet r = provider_->Run(text, {}, false);
  if (out) {
    r.Materialize();
    *out = std::move(r);
  }
}

void Connection::BeginTrans() {
  if (!provider_) Raise(kObjectClosed, "ADODB.Connection", "Operation is not allowed when the object is closed.");
  if (inTransaction_) Raise(int32_t(0x8004D013), "ADODB.Connection", "Only one transaction can be active on this session.");
  provider_->Begin();
  inTransaction_ = true;
}

void Connection::CommitTrans() {
  if (!provider_) Raise(kObjectClosed, "ADODB.Connection", "Operation is not allowed when the object is closed.");
  if (!inTransaction_) Raise(int32_t(0x8004D00E), "ADODB.Connection", "No transaction is active.");
  inTransaction_ = false;
  provider_->Commit();
}

void Connection::RollbackTrans() {
  if (!provider_) Raise(kObjectClosed, "ADODB.Connection", "Operation is not allowed when the object is closed.");
  if (!inTransaction_) Raise(int32_t(0x8004D00E), "ADODB.Connection", "No transaction is active.");
  inTransaction_ = false;
  provider_->Rollback();
}

// ---- Provider ------------------------------------------------------------

uint64_t Provider::NewSerial() {
  static std::atomic<uint64_t> next{1};
  return next++;
}

namespace {
// Each row through the provider's InsertRow.
class RowByRowInsert final : public Provider::PreparedInsert {
 public:
  RowByRowInsert(Provider* p, std::string table, std::vector<std::string> names)
      : provider_(p), table_(std::move(table)), names_(std::move(names)) {}
  int64_t Run(const std::vector<Variant>& row, const std::vector<int>& columns) override {
    std::vector<Variant> values;
    values.reserve(columns.size());
    for (int i : columns) values.push_back(row[size_t(i)]);
    return provider_->InsertRow(table_, names_, values);
  }

 private:
  Provider* provider_;
  std::string table_;
  std::vector<std::string> names_;
};
}  // namespace

std::unique_ptr<Provider::PreparedInsert> Provider::PrepareInsert(const std::string& table,
                                                                  const std::vector<std::string>& names) {
  return std::make_unique<RowByRowInsert>(this, table, names);
}

// ---- Recordset -----------------------------------------------------------

namespace {
bool IsBareName(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!(std::isalnum((unsigned char)c) || c == '_' || c == '$' || c == '.' || c == '[' || c == ']' ||
          (unsigned char)c >= 0x80))
      return false;
  return true;
}
}  // namespace

void Recordset::Open(const std::string& source, Connection* connection, long cursorType, long lockType,
                     long options) {
  if (open_) Raise(int32_t(0x800A0E79), "ADODB.Recordset", "Operation is not allowed when the object is open.");
  if (!connection || !connection->provider())
    Raise(int32_t(0x800A0E7D), "ADODB.Recordset", "The connection cannot be used to perform this operation. "
                                                  "It is either closed or invalid in this context.");
  std::string sql = source;
  if ((options == adCmdTable || options == adCmdUnknown) && IsBareName(Trim(source))) {
    sql = "SELECT * FROM " + Trim(source);
    // Opened for adding rows: the table's columns, none of its rows.
    if (options == adCmdTable && cursorType == adOpenForwardOnly && lockType != adLockReadOnly)
      sql += " WHERE 1=0";
  }
  ResultSet r = connection->provider()->Run(sql, {}, lockType != adLockReadOnly);
  connection_ = connection;
  cursor_ = cursorType;
  lock_ = lockType;
  edit_ = kNone;
  changed_.clear();
  changedMask_.clear();
  insert_.reset();
  if (!r.hasRows) {
    // A statement without rows leaves the record set closed.
    open_ = false;
    set_ = ResultSet{};
    return;
  }
  set_ = std::move(r);
  fetchedIndex_ = -1;
  open_ = true;
  pos_ = 0;
}

void Recordset::Close() {
  if (!open_) Raise(kObjectClosed, "ADODB.Recordset", "Operation is not allowed when the object is closed.");
  open_ = false;
  edit_ = kNone;
  set_ = ResultSet{};
  fetchedIndex_ = -1;
  changed_.clear();
  changedMask_.clear();
  insert_.reset();
}

const std::vector<Variant>& Recordset::RowAt(long index) const {
  if (!set_.lazy) return set_.rows[size_t(index)];
  if (fetchedIndex_ != index) {
    fetchedIndex_ = -1;
    fetched_ = set_.lazy->Fetch(size_t(index));
    fetchedIndex_ = index;
  }
  return fetched_;
}

void Recordset::Need() const {
  if (!open_) Raise(kObjectClosed, "ADODB.Recordset", "Operation is not allowed when the object is closed.");
}

void Recordset::NeedRow() const {
  Need();
  if (edit_ == kAdding) return;
  if (pos_ < 0 || pos_ >= long(Rows()))
    Raise(kBofOrEof, "ADODB.Recordset",
          "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a "
          "current record.");
}

bool Recordset::BOF() const {
  Need();
  return Rows() == 0 || pos_ < 0;
}

bool Recordset::EOF_() const {
  Need();
  return Rows() == 0 || pos_ >= long(Rows());
}

long Recordset::RecordCount() const {
  Need();
  if (cursor_ == adOpenForwardOnly) return -1;
  return long(Rows());
}

bool Recordset::Supports(long option) const {
  if (!open_) return false;
  if (option == adAddNew) return lock_ != adLockReadOnly && set_.updatable;
  return true;
}

void Recordset::MoveFirst() {
  Need();
  SavePending();
  if (cursor_ == adOpenForwardOnly && pos_ > 0)
    Raise(kNotSupported, "ADODB.Recordset", "Rowset does not support fetching backward.");
  pos_ = 0;
}

void Recordset::MoveLast() {
  Need();
  SavePending();
  pos_ = Rows() == 0 ? 0 : long(Rows()) - 1;
}

void Recordset::MoveNext() {
  Need();
  SavePending();
  if (pos_ >= long(Rows())) NeedRow();
  ++pos_;
}

void Recordset::MovePrevious() {
  Need();
  SavePending();
  if (cursor_ == adOpenForwardOnly) Raise(kNotSupported, "ADODB.Recordset", "Rowset does not support fetching backward.");
  if (pos_ < 0) NeedRow();
  --pos_;
}

void Recordset::Move(long n) {
  Need();
  SavePending();
  if (n == 0) return;
  if (n < 0 && cursor_ == adOpenForwardOnly)
    Raise(kNotSupported, "ADODB.Recordset", "Rowset does not support fetching backward.");
  if (Rows() == 0) NeedRow();
  long target = pos_ + n;
  if (target < 0) target = -1;
  if (target > long(Rows())) target = long(Rows());
  pos_ = target;
}

size_t Recordset::FieldCount() const {
  Need();
  return set_.names.size();
}

int Recordset::FieldIndex(const std::string& name) const {
  Need();
  std::string u = Upper(name);
  for (size_t i = 0; i < set_.names.size(); ++i)
    if (Upper(set_.names[i]) == u) return int(i);
  return -1;
}

const std::string& Recordset::FieldName(size_t index) const {
  Need();
  if (index >= set_.names.size())
    Raise(kItemNotFound, "ADODB.Fields", "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  return set_.names[index];
}

Variant Recordset::GetField(size_t index) const {
  NeedRow();
  if (index >= set_.names.size())
    Raise(kItemNotFound, "ADODB.Fields", "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  if (edit_ != kNone) return editRow_[index];
  return RowAt(pos_)[index];
}

Variant Recordset::GetField(const std::string& name) const {
  int i = FieldIndex(name);
  if (i < 0)
    Raise(kItemNotFound, "ADODB.Fields", "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  return GetField(size_t(i));
}

void Recordset::SetField(size_t index, const Variant& value) {
  NeedRow();
  if (index >= set_.names.size())
    Raise(kItemNotFound, "ADODB.Fields", "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  if (lock_ == adLockReadOnly || !set_.updatable)
    Raise(int32_t(0x800A0CB3), "ADODB.Recordset", "Current Recordset does not support updating. This may be a "
                                                  "limitation of the provider, or of the selected locktype.");
  if (edit_ == kNone) {
    edit_ = kEditing;
    editRow_ = set_.rows[pos_];
    ClearChanged();
  }
  editRow_[index] = value;
  MarkChanged(index);
}

Variant* Recordset::FieldsToSet(size_t first, size_t count) {
  if (count == 0) return nullptr;
  NeedRow();
  if (first + count > set_.names.size())
    Raise(kItemNotFound, "ADODB.Fields", "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  SetField(first, editRow_.empty() || edit_ == kNone ? Variant::Null() : editRow_[first]);  // the checks, the edit begun
  if (changedMask_.size() < set_.names.size()) changedMask_.resize(set_.names.size(), 0);
  for (size_t k = first + 1; k < first + count; ++k)
    if (!changedMask_[k]) {
      changedMask_[k] = 1;
      changed_.push_back(int(k));
    }
  return &editRow_[first];
}

void Recordset::MarkChanged(size_t index) {
  if (changedMask_.size() < set_.names.size()) changedMask_.resize(set_.names.size(), 0);
  if (changedMask_[index]) return;
  changedMask_[index] = 1;
  changed_.push_back(int(index));
}

void Recordset::ClearChanged() {
  for (int i : changed_)
    if (size_t(i) < changedMask_.size()) changedMask_[size_t(i)] = 0;
  changed_.clear();
}

void Recordset::SetField(const std::string& name, const Variant& value) {
  int i = FieldIndex(name);
  if (i < 0)
    Raise(kItemNotFound, "ADODB.Fields", "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  SetField(size_t(i), value);
}

void Recordset::AddNew() {
  Need();
  if (!Supports(adAddNew))
    Raise(int32_t(0x800A0CB3), "ADODB.Recordset", "Current Recordset does not support updating. This may be a "
                                                  "limitation of the provider, or of the selected locktype.");
  SavePending();
  edit_ = kAdding;
  editRow_.assign(set_.names.size(), Variant::Null());
  ClearChanged();
}

void Recordset::AddNew(const std::vector<std::string>& names, const std::vector<Variant>& values) {
  AddNew();
  if (names.size() != values.size()) Raise(kEInvalidArg, "ADODB.Recordset", "Arguments are of the wrong type, "
                                                                            "are out of acceptable range, or are in conflict with one another.");
  for (size_t i = 0; i < names.size(); ++i) SetField(names[i], values[i]);
  Update();
}

void Recordset::SavePending() {
  if (edit_ == kNone) return;
  Provider* p = connection_ ? connection_->provider() : nullptr;
  if (!p) Raise(kObjectClosed, "ADODB.Recordset", "Operation is not allowed when the object is closed.");
  if (edit_ == kAdding) {
    edit_ = kNone;  // a failed insert drops the pending row, as a failed Update of ADO leaves it to cancel
    if (!insert_ || insertProvider_ != p->serial() || insertShape_ != changed_) {
      insert_.reset();
      std::vector<std::string> names;
      names.reserve(changed_.size());
      for (int i : changed_) names.push_back(set_.names[i]);
      insert_ = p->PrepareInsert(set_.table, names);
      insertProvider_ = p->serial();
      insertShape_ = changed_;
    }
    int64_t key;
    try {
      key = insert_->Run(editRow_, changed_);
    } catch (...) {
      insert_.reset();  // made again for the next row
      throw;
    }
    if (cursor_ == adOpenForwardOnly && set_.rows.size() == 1) {
      // Nothing behind a forward-only cursor can be read again: the row
      // added takes the place of the one before, whose storage the next
      // row reuses.
      std::swap(set_.rows[0], editRow_);
      set_.keys.clear();
    } else {
      if (cursor_ == adOpenForwardOnly) {
        set_.rows.clear();
        set_.keys.clear();
      }
      set_.rows.push_back(std::move(editRow_));
      editRow_.clear();
    }
    if (!set_.keys.empty() || set_.rows.size() == 1) set_.keys.push_back(key);
    pos_ = long(set_.rows.size()) - 1;
  } else {
    edit_ = kNone;
    int64_t key = pos_ < long(set_.keys.size()) ? set_.keys[pos_] : 0;
    p->UpdateRow(set_.table, key, set_.names, set_.rows[pos_], changed_, editRow_);
    set_.rows[pos_] = editRow_;
  }
  ClearChanged();
}

void Recordset::Update() {
  Need();
  SavePending();
}

void Recordset::Update(const std::string& name, const Variant& value) {
  SetField(name, value);
  Update();
}

long Recordset::CancelUpdate() {
  Need();
  if (edit_ == kAdding && pos_ >= long(Rows())) pos_ = long(Rows()) - 1;
  edit_ = kNone;
  ClearChanged();
  return 0;
}

void Recordset::Delete() {
  NeedRow();
  if (lock_ == adLockReadOnly || !set_.updatable)
    Raise(int32_t(0x800A0CB3), "ADODB.Recordset", "Current Recordset does not support updating. This may be a "
                                                  "limitation of the provider, or of the selected locktype.");
  if (edit_ == kAdding) {
    CancelUpdate();
    return;
  }
  edit_ = kNone;
  int64_t key = pos_ < long(set_.keys.size()) ? set_.keys[pos_] : 0;
  connection_->provider()->DeleteRow(set_.table, key, set_.names, set_.rows[pos_]);
  set_.rows.erase(set_.rows.begin() + pos_);
  if (pos_ < long(set_.keys.size())) set_.keys.erase(set_.keys.begin() + pos_);
}

// ---- Command -------------------------------------------------------------

ResultSet Command::Execute(Connection* connection) {
  if (!connection || !connection->provider())
    Raise(int32_t(0x800A0E7D), "ADODB.Command", "The connection cannot be used to perform this operation. It is "
                                                "either closed or invalid in this context.");
  std::vector<Variant> values;
  values.reserve(Parameters.size());
  for (const auto& p : Parameters) values.push_back(p.value);
  ResultSet r = connection->provider()->Run(CommandText, values, false);
  r.Materialize();
  return r;
}

// ---- Catalog -------------------------------------------------------------

void Catalog::SetActiveConnection(const std::string& connectionString) {
  if (connection_.State()) connection_.Close();
  connection_.Adopt(OpenProvider(connectionString, false));
}

void Catalog::Create(const std::string& connectionString) {
  if (connection_.State()) connection_.Close();
  connection_.Adopt(OpenProvider(connectionString, true));
}

void Catalog::Need() {
  if (!connection_.State())
    Raise(int32_t(0x800A0E7D), "ADOX.Catalog", "The connection cannot be used to perform this operation. It is "
                                               "either closed or invalid in this context.");
}

long Catalog::TableCount() {
  Need();
  return long(connection_.provider()->Tables().size());
}

bool Catalog::HasTable(const std::string& name) {
  Need();
  std::string u = Upper(name);
  for (const auto& t : connection_.provider()->Tables())
    if (Upper(t) == u) return true;
  return false;
}

void Catalog::AppendTable(const std::string& name, const std::vector<ColumnDef>& columns) {
  Need();
  connection_.provider()->CreateTable(name, columns);
}

}  // namespace ado
