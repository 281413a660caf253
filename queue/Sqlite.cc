#include "queue/Sqlite.h"

#include <climits>
#include <utility>

namespace lumacor {

// ---- TSqliteStatement ----

TSqliteStatement::~TSqliteStatement() {
  if (stmt_ != nullptr) api_->finalize(stmt_);
}

TSqliteStatement::TSqliteStatement(TSqliteStatement&& other) noexcept
    : api_(other.api_), db_(other.db_), stmt_(std::exchange(other.stmt_, nullptr)) {}

TSqliteStatement& TSqliteStatement::operator=(TSqliteStatement&& other) noexcept {
  if (this != &other) {
    if (stmt_ != nullptr) api_->finalize(stmt_);
    api_ = other.api_;
    db_ = other.db_;
    stmt_ = std::exchange(other.stmt_, nullptr);
  }
  return *this;
}

void TSqliteStatement::Fail(int code) const { throw SqliteError(code, api_->errmsg(db_)); }

int TSqliteStatement::ParameterIndex(const char* name) const {
  int index = api_->bind_parameter_index(stmt_, name);
  if (index == 0) throw SqliteError(0, std::string("parametro inexistente: ") + name);
  return index;
}

void TSqliteStatement::BindText(const char* name, std::string_view value) {
  if (value.size() > static_cast<size_t>(INT_MAX))
    throw SqliteError(kSqliteTooBig, "string or blob too big");
  // A static binding spares copying whole documents; Reset drops it.
  int rc = api_->bind_text(stmt_, ParameterIndex(name), value.data(),
                           static_cast<int>(value.size()), nullptr);
  if (rc != kSqliteOk) Fail(rc);
}

void TSqliteStatement::BindInt(const char* name, int64_t value) {
  int rc = api_->bind_int64(stmt_, ParameterIndex(name), value);
  if (rc != kSqliteOk) Fail(rc);
}

bool TSqliteStatement::Step() {
  int rc = api_->step(stmt_);
  if (rc == kSqliteRow) return true;
  if (rc == kSqliteDone) return false;
  Fail(rc);
}

std::string TSqliteStatement::ColumnText(int col) const {
  const unsigned char* text = api_->column_text(stmt_, col);
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<size_t>(api_->column_bytes(stmt_, col)));
}

int64_t TSqliteStatement::ColumnInt(int col) const { return api_->column_int64(stmt_, col); }

bool TSqliteStatement::ColumnIsNull(int col) const {
  return api_->column_type(stmt_, col) == kSqliteNull;
}

void TSqliteStatement::Reset() {
  if (stmt_ == nullptr) return;
  // The code returned repeats the last Step's failure, already raised.
  api_->reset(stmt_);
  api_->clear_bindings(stmt_);
}

// ---- TSqliteConnection ----

TSqliteConnection::~TSqliteConnection() {
  if (db_ != nullptr) api_->close_v2(db_);
}

TSqliteConnection::TSqliteConnection(TSqliteConnection&& other) noexcept
    : api_(other.api_), db_(std::exchange(other.db_, nullptr)) {}

TSqliteConnection& TSqliteConnection::operator=(TSqliteConnection&& other) noexcept {
  if (this != &other) {
    if (db_ != nullptr) api_->close_v2(db_);
    api_ = other.api_;
    db_ = std::exchange(other.db_, nullptr);
  }
  return *this;
}

void TSqliteConnection::Fail(int code) const { throw SqliteError(code, api_->errmsg(db_)); }

TSqliteConnection TSqliteConnection::Open(const std::string& path, int flags,
                                          const TSqliteApi& api) {
  TSqliteConnection conn;
  conn.api_ = &api;
  // SQLite hands back a handle even when the open fails; it carries the
  // message and is closed by `conn`.
  int rc = api.open_v2(path.c_str(), &conn.db_, flags, nullptr);
  if (rc != kSqliteOk) {
    if (conn.db_ == nullptr) throw SqliteError(rc, "out of memory");
    conn.Fail(rc);
  }
  return conn;
}

void TSqliteConnection::Exec(const std::string& sql) {
  int rc = api_->exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  if (rc != kSqliteOk) Fail(rc);
}

TSqliteStatement TSqliteConnection::Prepare(std::string_view sql) {
  sqlite3_stmt* stmt = nullptr;
  int rc = api_->prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
  if (rc != kSqliteOk) Fail(rc);
  return TSqliteStatement(api_, db_, stmt);
}

bool TSqliteConnection::AutoCommit() const { return api_->get_autocommit(db_) != 0; }

}  // namespace lumacor
