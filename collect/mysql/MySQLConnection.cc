#include "collect/mysql/MySQLConnection.h"

#include <mysql.h>

#include <string>
#include <vector>

#include "common/Text.h"

namespace lumacor {
namespace {

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
  decltype(&mysql_field_count) field_count = nullptr;
  decltype(&mysql_free_result) free_result = nullptr;
  decltype(&mysql_num_fields) num_fields = nullptr;
  decltype(&mysql_fetch_fields) fetch_fields = nullptr;
  decltype(&mysql_fetch_row) fetch_row = nullptr;
  decltype(&mysql_fetch_lengths) fetch_lengths = nullptr;

  void Load(const std::string& client_path) {
    lib = &LoadClientLibrary(client_path,
                            {"libmariadb.so.3", "libmysqlclient.so.21", "libmysqlclient.so.20",
                             "libmariadbclient.so.18", "libmysqlclient.so.18"},
                            "MySQL");
    BindFunction(*lib, "mysql_init", init);
    BindFunction(*lib, "mysql_options", options);
    BindFunction(*lib, "mysql_real_connect", real_connect);
    BindFunction(*lib, "mysql_close", close);
    BindFunction(*lib, "mysql_error", error);
    BindFunction(*lib, "mysql_errno", errnum);
    BindFunction(*lib, "mysql_real_query", real_query);
    BindFunction(*lib, "mysql_store_result", store_result);
    BindFunction(*lib, "mysql_field_count", field_count);
    BindFunction(*lib, "mysql_free_result", free_result);
    BindFunction(*lib, "mysql_num_fields", num_fields);
    BindFunction(*lib, "mysql_fetch_fields", fetch_fields);
    BindFunction(*lib, "mysql_fetch_row", fetch_row);
    BindFunction(*lib, "mysql_fetch_lengths", fetch_lengths);
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

class MyCursor final : public TDBCursor {
 public:
  MyCursor(const MyApi& api, ResultPtr result) : api_(api), result_(std::move(result)) {
    if (result_ == nullptr) return;
    const unsigned n = api_.num_fields(result_.get());
    const MYSQL_FIELD* fields = api_.fetch_fields(result_.get());
    for (unsigned i = 0; i < n; ++i) {
      names_.emplace_back(fields[i].name, fields[i].name_length);
      blob_.push_back(IsBinaryField(fields[i]));
    }
  }

  bool Next() override {
    if (result_ == nullptr) return false;
    row_ = api_.fetch_row(result_.get());
    lengths_ = row_ == nullptr ? nullptr : api_.fetch_lengths(result_.get());
    return row_ != nullptr;
  }
  int ColumnCount() const override { return static_cast<int>(names_.size()); }
  std::string ColumnName(int col) const override { return names_[col]; }
  bool IsBlob(int col) const override { return blob_[col]; }
  std::string AsText(int col) override {
    if (row_ == nullptr || row_[col] == nullptr) return std::string();
    return std::string(row_[col], lengths_[col]);
  }
  std::string AsBytes(int col) override { return AsText(col); }

 private:
  const MyApi& api_;
  ResultPtr result_;
  std::vector<std::string> names_;
  std::vector<bool> blob_;
  MYSQL_ROW row_ = nullptr;
  unsigned long* lengths_ = nullptr;
};

class MySQLConnection final : public TDBConnection {
 public:
  explicit MySQLConnection(TDBSettings settings) : settings_(std::move(settings)) {}

  void Connect() override {
    if (api_.lib == nullptr) {
      MyApi api;
      api.Load(settings_.ClientLibrary);
      api_ = std::move(api);
    }
    conn_.reset();
    MysqlPtr conn(api_.init(nullptr), MysqlCloser{api_.close});
    if (conn == nullptr) throw DBError("MySQL: sem memoria para a conexao");
    if (!settings_.CharSet.empty()) {
      api_.options(conn.get(), MYSQL_SET_CHARSET_NAME, settings_.CharSet.c_str());
    }
    auto opt = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
    if (api_.real_connect(conn.get(), opt(settings_.Server), opt(settings_.User),
                          opt(settings_.Password), opt(settings_.Database),
                          static_cast<unsigned>(settings_.Port), nullptr, 0) == nullptr) {
      throw DBError(api_.error(conn.get()));
    }
    conn_ = std::move(conn);
  }

  void Disconnect() override { conn_.reset(); }
  bool Connected() const override { return conn_ != nullptr; }

  std::unique_ptr<TDBCursor> Query(const std::string& sql) override {
    if (conn_ == nullptr) throw DBError("MySQL: conexao nao aberta");
    if (api_.real_query(conn_.get(), sql.data(), sql.size()) != 0) Fail();
    ResultPtr result(api_.store_result(conn_.get()), ResultCloser{api_.free_result});
    if (result == nullptr && api_.field_count(conn_.get()) != 0) Fail();
    return std::make_unique<MyCursor>(api_, std::move(result));
  }

 private:
  // Raises the client's error; a connection the server dropped is closed,
  // so the next GetConnection opens a new one.
  [[noreturn]] void Fail() {
    std::string msg = api_.error(conn_.get());
    const unsigned code = api_.errnum(conn_.get());
    if (code == kServerGone || code == kServerLost) conn_.reset();
    throw DBError(msg);
  }

  TDBSettings settings_;
  MyApi api_;
  MysqlPtr conn_{nullptr, MysqlCloser{nullptr}};
};

}  // namespace

std::unique_ptr<TDBConnection> NewMySQLConnection(const TDBSettings& settings) {
  return std::make_unique<MySQLConnection>(settings);
}

}  // namespace lumacor
