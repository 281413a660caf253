#include "collect/mysql/MySQLConnection.h"

#include <mysql.h>

#include <string>
#include <vector>

#include "common/Text.h"

namespace lumacor {
namespace {

constexpr DatabaseClient kClient = DatabaseClient::kMySQL;

// The character set number of binary strings: BLOB and VARBINARY columns
// carry it, TEXT columns carry their text character set.
constexpr unsigned kBinaryCharsetNr = 63;
// The client's codes for a connection that the server dropped.
constexpr unsigned kServerGone = 2006;
constexpr unsigned kServerLost = 2013;

// The client functions this driver calls. libmariadb and libmysqlclient
// share these signatures and the layout of MYSQL_FIELD.
struct MyApi {
  const DynamicLibrary* lib = nullptr;
  decltype(&mysql_init) init = nullptr;
  decltype(&mysql_options) options = nullptr;
  decltype(&mysql_real_connect) real_connect = nullptr;
  decltype(&mysql_close) close = nullptr;
  decltype(&mysql_error) error = nullptr;
  decltype(&mysql_errno) errnum = nullptr;
  decltype(&mysql_real_query) real_query = nullptr;
  decltype(&mysql_store_result) store_result = nullptr;
  decltype(&mysql_use_result) use_result = nullptr;
  decltype(&mysql_field_count) field_count = nullptr;
  decltype(&mysql_free_result) free_result = nullptr;
  decltype(&mysql_num_fields) num_fields = nullptr;
  decltype(&mysql_fetch_fields) fetch_fields = nullptr;
  decltype(&mysql_fetch_row) fetch_row = nullptr;
  decltype(&mysql_fetch_lengths) fetch_lengths = nullptr;
  decltype(&mysql_more_results) more_results = nullptr;
  decltype(&mysql_next_result) next_result = nullptr;

  void Load(const std::string& client_path) {
    lib = &LoadClientLibrary(kClient, client_path);
    BindFunction(kClient, *lib, "mysql_init", init);
    BindFunction(kClient, *lib, "mysql_options", options);
    BindFunction(kClient, *lib, "mysql_real_connect", real_connect);
    BindFunction(kClient, *lib, "mysql_close", close);
    BindFunction(kClient, *lib, "mysql_error", error);
    BindFunction(kClient, *lib, "mysql_errno", errnum);
    BindFunction(kClient, *lib, "mysql_real_query", real_query);
    BindFunction(kClient, *lib, "mysql_store_result", store_result);
    BindFunction(kClient, *lib, "mysql_use_result", use_result);
    BindFunction(kClient, *lib, "mysql_field_count", field_count);
    BindFunction(kClient, *lib, "mysql_free_result", free_result);
    BindFunction(kClient, *lib, "mysql_num_fields", num_fields);
    BindFunction(kClient, *lib, "mysql_fetch_fields", fetch_fields);
    BindFunction(kClient, *lib, "mysql_fetch_row", fetch_row);
    BindFunction(kClient, *lib, "mysql_fetch_lengths", fetch_lengths);
    BindFunction(kClient, *lib, "mysql_more_results", more_results);
    BindFunction(kClient, *lib, "mysql_next_result", next_result);
  }
};

struct MysqlCloser {
  decltype(&mysql_close) close;
  void operator()(MYSQL* m) const { close(m); }
};
struct ResultCloser {
  decltype(&mysql_free_result) free_result;
  void operator()(MYSQL_RES* r) const { free_result(r); }
};
using MysqlPtr = std::unique_ptr<MYSQL, MysqlCloser>;
using ResultPtr = std::unique_ptr<MYSQL_RES, ResultCloser>;

bool IsBinaryField(const MYSQL_FIELD& f) {
  switch (f.type) {
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
    case MYSQL_TYPE_BLOB:
    case MYSQL_TYPE_STRING:
    case MYSQL_TYPE_VAR_STRING:
    case MYSQL_TYPE_VARCHAR:
      return f.charsetnr == kBinaryCharsetNr;
    default:
      return false;
  }
}

class MySQLConnection;

// One query's rows read from the server as they come (mysql_use_result):
// one row in memory at a time. The rows are the first result that has
// columns; a CALL's further results are read and dropped after them, as
// the connection takes no other query before every result is read. While
// a cursor reads, its connection abandons it before any other query.
class MyCursor final : public TDBCursor {
 public:
  MyCursor(MySQLConnection* owner, ResultPtr result);
  ~MyCursor() override { Abandon(); }
  MyCursor(const MyCursor&) = delete;
  MyCursor& operator=(const MyCursor&) = delete;

  bool Next() override;
  int ColumnCount() const override { return static_cast<int>(names_.size()); }
  std::string ColumnName(int col) const override { return names_[col]; }
  bool IsBlob(int col) const override { return blob_[col]; }
  std::string AsText(int col) override {
    if (row_ == nullptr || row_[col] == nullptr) return std::string();
    return std::string(row_[col], lengths_[col]);
  }
  std::string AsBytes(int col) override { return AsText(col); }

  // Stops reading; the rest is read and dropped. Errors are dropped with it.
  void Abandon();

 private:
  MySQLConnection* owner_;
  ResultPtr result_;
  std::vector<std::string> names_;
  std::vector<bool> blob_;
  MYSQL_ROW row_ = nullptr;
  unsigned long* lengths_ = nullptr;
  bool finished_ = false;
};

class MySQLConnection final : public TDBConnection {
 public:
  explicit MySQLConnection(TDBSettings settings) : settings_(std::move(settings)) {}
  ~MySQLConnection() override { Disconnect(); }
  MySQLConnection(const MySQLConnection&) = delete;
  MySQLConnection& operator=(const MySQLConnection&) = delete;

  void Connect() override {
    if (api_.lib == nullptr) {
      MyApi api;
      api.Load(settings_.ClientLibrary);
      api_ = std::move(api);
    }
    Disconnect();
    MysqlPtr conn(api_.init(nullptr), MysqlCloser{api_.close});
    if (conn == nullptr) throw DBError("MySQL: sem memoria para a conexao");
    if (!settings_.CharSet.empty()) {
      api_.options(conn.get(), MYSQL_SET_CHARSET_NAME, settings_.CharSet.c_str());
    }
    auto opt = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
    if (api_.real_connect(conn.get(), opt(settings_.Server), opt(settings_.User),
                          opt(settings_.Password), opt(settings_.Database),
                          static_cast<unsigned>(settings_.Port), nullptr,
                          CLIENT_MULTI_RESULTS) == nullptr) {
      throw DBError(api_.error(conn.get()));
    }
    conn_ = std::move(conn);
  }

  void Disconnect() override {
    if (active_ != nullptr) active_->Abandon();
    conn_.reset();
  }
  bool Connected() const override { return conn_ != nullptr; }

  std::unique_ptr<TDBCursor> Query(const std::string& sql) override {
    if (conn_ == nullptr) throw DBError("MySQL: conexao nao aberta");
    if (active_ != nullptr) active_->Abandon();
    if (conn_ == nullptr) throw DBError("MySQL: conexao nao aberta");
    if (api_.real_query(conn_.get(), sql.data(), sql.size()) != 0) Fail();
    // Results without columns (an UPDATE before the query) come first.
    for (;;) {
      ResultPtr result(api_.use_result(conn_.get()), ResultCloser{api_.free_result});
      if (result == nullptr && api_.field_count(conn_.get()) != 0) Fail();
      if (result != nullptr) {
        auto cursor = std::make_unique<MyCursor>(this, std::move(result));
        active_ = cursor.get();
        return cursor;
      }
      if (!api_.more_results(conn_.get())) break;
      if (api_.next_result(conn_.get()) > 0) Fail();
    }
    return std::make_unique<MyCursor>(this, ResultPtr(nullptr, ResultCloser{api_.free_result}));
  }

  const MyApi& api() const { return api_; }
  MYSQL* handle() const { return conn_.get(); }
  void Released(const MyCursor* cursor) {
    if (active_ == cursor) active_ = nullptr;
  }

  // Reads and drops the results after the rows, so that the connection
  // takes the next query. Raises the first error.
  void DrainResults() {
    while (api_.more_results(conn_.get())) {
      if (api_.next_result(conn_.get()) > 0) Fail();
      ResultPtr result(api_.store_result(conn_.get()), ResultCloser{api_.free_result});
      if (result == nullptr && api_.field_count(conn_.get()) != 0) Fail();
    }
  }

  // Raises the client's error; a connection the server dropped is closed,
  // so the next GetConnection opens a new one.
  [[noreturn]] void Fail() { Fail(api_.error(conn_.get()), api_.errnum(conn_.get())); }
  [[noreturn]] void Fail(const std::string& msg, unsigned code) {
    if (code == kServerGone || code == kServerLost) Close();
    throw DBError(msg);
  }

  // Closes the connection without reading what is left of it.
  void Close() {
    if (active_ != nullptr) active_->Abandon();
    conn_.reset();
  }

 private:
  TDBSettings settings_;
  MyApi api_;
  MysqlPtr conn_{nullptr, MysqlCloser{nullptr}};
  MyCursor* active_ = nullptr;  // the cursor still reading, if any
};

MyCursor::MyCursor(MySQLConnection* owner, ResultPtr result)
    : owner_(owner), result_(std::move(result)) {
  if (result_ == nullptr) {
    finished_ = true;
    return;
  }
  const MyApi& api = owner_->api();
  const unsigned n = api.num_fields(result_.get());
  const MYSQL_FIELD* fields = api.fetch_fields(result_.get());
  for (unsigned i = 0; i < n; ++i) {
    names_.emplace_back(fields[i].name, fields[i].name_length);
    blob_.push_back(IsBinaryField(fields[i]));
  }
}

bool MyCursor::Next() {
  if (finished_) return false;
  const MyApi& api = owner_->api();
  row_ = api.fetch_row(result_.get());
  if (row_ != nullptr) {
    lengths_ = api.fetch_lengths(result_.get());
    return true;
  }
  lengths_ = nullptr;
  // The end of the rows, or an error while they came.
  finished_ = true;
  owner_->Released(this);
  const unsigned code = api.errnum(owner_->handle());
  if (code != 0) {
    const std::string msg = api.error(owner_->handle());
    result_.reset();
    owner_->Fail(msg, code);
  }
  result_.reset();
  owner_->DrainResults();
  return false;
}

void MyCursor::Abandon() {
  if (finished_) return;
  finished_ = true;
  row_ = nullptr;
  owner_->Released(this);
  // Freeing a result read with use_result reads its remaining rows.
  result_.reset();
  try {
    owner_->DrainResults();
  } catch (...) {
    // A connection left out of step would fail the next query: closed, so
    // the next GetConnection opens a new one.
    owner_->Close();
  }
}

}  // namespace

std::unique_ptr<TDBConnection> NewMySQLConnection(const TDBSettings& settings) {
  return std::make_unique<MySQLConnection>(settings);
}

}  // namespace lumacor
