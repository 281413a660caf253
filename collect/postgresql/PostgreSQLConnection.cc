#include "collect/postgresql/PostgreSQLConnection.h"

#include <libpq-fe.h>

#include <string>
#include <vector>

#include "common/Text.h"

namespace lumacor {
namespace {

constexpr DatabaseClient kClient = DatabaseClient::kPostgreSQL;

constexpr Oid kByteaOid = 17;

// The libpq functions this driver calls.
struct PqApi {
  const DynamicLibrary* lib = nullptr;
  decltype(&PQconnectdbParams) connectdbParams = nullptr;
  decltype(&PQstatus) status = nullptr;
  decltype(&PQerrorMessage) errorMessage = nullptr;
  decltype(&PQfinish) finish = nullptr;
  decltype(&PQsendQuery) sendQuery = nullptr;
  decltype(&PQsetSingleRowMode) setSingleRowMode = nullptr;
  decltype(&PQgetResult) getResult = nullptr;
  decltype(&PQgetCancel) getCancel = nullptr;
  decltype(&PQcancel) cancel = nullptr;
  decltype(&PQfreeCancel) freeCancel = nullptr;
  decltype(&PQresultStatus) resultStatus = nullptr;
  decltype(&PQresultErrorMessage) resultErrorMessage = nullptr;
  decltype(&PQclear) clear = nullptr;
  decltype(&PQnfields) nfields = nullptr;
  decltype(&PQfname) fname = nullptr;
  decltype(&PQftype) ftype = nullptr;
  decltype(&PQgetisnull) getisnull = nullptr;
  decltype(&PQgetvalue) getvalue = nullptr;
  decltype(&PQgetlength) getlength = nullptr;
  decltype(&PQunescapeBytea) unescapeBytea = nullptr;
  decltype(&PQfreemem) freemem = nullptr;

  void Load(const std::string& client_path) {
    lib = &LoadClientLibrary(kClient, client_path);
    BindFunction(kClient, *lib, "PQconnectdbParams", connectdbParams);
    BindFunction(kClient, *lib, "PQstatus", status);
    BindFunction(kClient, *lib, "PQerrorMessage", errorMessage);
    BindFunction(kClient, *lib, "PQfinish", finish);
    BindFunction(kClient, *lib, "PQsendQuery", sendQuery);
    BindFunction(kClient, *lib, "PQsetSingleRowMode", setSingleRowMode);
    BindFunction(kClient, *lib, "PQgetResult", getResult);
    BindFunction(kClient, *lib, "PQgetCancel", getCancel);
    BindFunction(kClient, *lib, "PQcancel", cancel);
    BindFunction(kClient, *lib, "PQfreeCancel", freeCancel);
    BindFunction(kClient, *lib, "PQresultStatus", resultStatus);
    BindFunction(kClient, *lib, "PQresultErrorMessage", resultErrorMessage);
    BindFunction(kClient, *lib, "PQclear", clear);
    BindFunction(kClient, *lib, "PQnfields", nfields);
    BindFunction(kClient, *lib, "PQfname", fname);
    BindFunction(kClient, *lib, "PQftype", ftype);
    BindFunction(kClient, *lib, "PQgetisnull", getisnull);
    BindFunction(kClient, *lib, "PQgetvalue", getvalue);
    BindFunction(kClient, *lib, "PQgetlength", getlength);
    BindFunction(kClient, *lib, "PQunescapeBytea", unescapeBytea);
    BindFunction(kClient, *lib, "PQfreemem", freemem);
  }
};

// libpq's messages end with a line break.
std::string ClientMessage(const char* msg) { return TrimControlCopy(msg == nullptr ? "" : msg); }

struct ConnCloser {
  decltype(&PQfinish) finish;
  void operator()(PGconn* c) const { finish(c); }
};
struct ResultCloser {
  decltype(&PQclear) clear;
  void operator()(PGresult* r) const { clear(r); }
};
using ConnPtr = std::unique_ptr<PGconn, ConnCloser>;
using ResultPtr = std::unique_ptr<PGresult, ResultCloser>;

// One query's rows as libpq hands them over in single-row mode: one row in
// memory at a time, whatever the query returns. Of a text of several
// statements the rows are those of the first that has columns; the other
// results are read and dropped. While a cursor reads, its connection takes
// no other query: the connection abandons the cursor first.
class PgCursor final : public TDBCursor {
 public:
  PgCursor(const PqApi& api, PGconn* conn, PgCursor** active)
      : api_(api), conn_(conn), active_(active) {}
  ~PgCursor() override { Abandon(); }
  PgCursor(const PgCursor&) = delete;
  PgCursor& operator=(const PgCursor&) = delete;

  // Reads past the results of statements without rows to the first one
  // with columns. Raises the first error, once the connection is free.
  void Open() {
    for (;;) {
      ResultPtr r = Get();
      if (r == nullptr) {
        Finished();
        return;
      }
      const ExecStatusType st = api_.resultStatus(r.get());
      const bool rows = st == PGRES_SINGLE_TUPLE || st == PGRES_TUPLES_OK;
      if (rows && api_.nfields(r.get()) > 0) {
        for (int i = 0; i < api_.nfields(r.get()); ++i) {
          const char* name = api_.fname(r.get(), i);
          names_.emplace_back(name == nullptr ? "" : name);
          bytea_.push_back(api_.ftype(r.get(), i) == kByteaOid);
        }
        if (st == PGRES_SINGLE_TUPLE) {
          pending_ = std::move(r);
        } else {
          Drain();  // no rows
        }
        return;
      }
      if (!rows && st != PGRES_COMMAND_OK) Fail(std::move(r));
    }
  }

  bool Next() override {
    row_.reset();
    if (pending_ != nullptr) {
      row_ = std::move(pending_);
      return true;
    }
    if (finished_) return false;
    ResultPtr r = Get();
    if (r == nullptr) {
      Finished();
      return false;
    }
    const ExecStatusType st = api_.resultStatus(r.get());
    if (st == PGRES_SINGLE_TUPLE) {
      row_ = std::move(r);
      return true;
    }
    if (st == PGRES_TUPLES_OK) {
      Drain();  // the end of the rows
      return false;
    }
    Fail(std::move(r));
  }

  int ColumnCount() const override { return static_cast<int>(names_.size()); }
  std::string ColumnName(int col) const override { return names_[col]; }
  bool IsBlob(int col) const override { return bytea_[col]; }

  std::string AsText(int col) override {
    if (row_ == nullptr || api_.getisnull(row_.get(), 0, col)) return std::string();
    return std::string(api_.getvalue(row_.get(), 0, col),
                       static_cast<size_t>(api_.getlength(row_.get(), 0, col)));
  }

  std::string AsBytes(int col) override {
    if (!IsBlob(col)) return AsText(col);
    if (row_ == nullptr || api_.getisnull(row_.get(), 0, col)) return std::string();
    size_t len = 0;
    unsigned char* raw = api_.unescapeBytea(
        reinterpret_cast<const unsigned char*>(api_.getvalue(row_.get(), 0, col)), &len);
    if (raw == nullptr) throw DBError("PostgreSQL: falha ao decodificar valor bytea");
    std::string bytes(reinterpret_cast<const char*>(raw), len);
    api_.freemem(raw);
    return bytes;
  }

  // Stops reading: the server is asked to cancel the rest, and what it
  // already sent is read and dropped, so the connection takes the next
  // query. Errors are dropped with it.
  void Abandon() {
    if (finished_) return;
    row_.reset();
    pending_.reset();
    if (PGcancel* c = api_.getCancel(conn_)) {
      char err[256];
      api_.cancel(c, err, static_cast<int>(sizeof err));
      api_.freeCancel(c);
    }
    while (Get() != nullptr) {
    }
    Finished();
  }

 private:
  ResultPtr Get() { return ResultPtr(api_.getResult(conn_), ResultCloser{api_.clear}); }

  void Finished() {
    finished_ = true;
    if (*active_ == this) *active_ = nullptr;
  }

  // Reads the remaining results to the end; raises the first error among
  // them.
  void Drain() {
    std::string error;
    bool failed = false;
    for (ResultPtr r = Get(); r != nullptr; r = Get()) {
      const ExecStatusType st = api_.resultStatus(r.get());
      if (!failed && st != PGRES_SINGLE_TUPLE && st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK) {
        failed = true;
        error = ClientMessage(api_.resultErrorMessage(r.get()));
      }
    }
    Finished();
    if (failed) throw DBError(error);
  }

  // Raises the error of `r` once the connection is free again.
  [[noreturn]] void Fail(ResultPtr r) {
    const std::string error = ClientMessage(api_.resultErrorMessage(r.get()));
    r.reset();
    while (Get() != nullptr) {
    }
    Finished();
    throw DBError(error);
  }

  const PqApi& api_;
  PGconn* conn_;
  PgCursor** active_;
  std::vector<std::string> names_;
  std::vector<bool> bytea_;
  ResultPtr pending_{nullptr, ResultCloser{nullptr}};  // the first row, read by Open
  ResultPtr row_{nullptr, ResultCloser{nullptr}};
  bool finished_ = false;
};

class PostgreSQLConnection final : public TDBConnection {
 public:
  explicit PostgreSQLConnection(TDBSettings settings) : settings_(std::move(settings)) {}
  ~PostgreSQLConnection() override { Disconnect(); }
  PostgreSQLConnection(const PostgreSQLConnection&) = delete;
  PostgreSQLConnection& operator=(const PostgreSQLConnection&) = delete;

  void Connect() override {
    if (api_.lib == nullptr) {
      PqApi api;
      api.Load(settings_.ClientLibrary);
      api_ = std::move(api);
    }
    Disconnect();
    std::vector<const char*> keys;
    std::vector<const char*> values;
    const std::string port = std::to_string(settings_.Port);
    auto add = [&](const char* key, const std::string& value) {
      if (value.empty()) return;
      keys.push_back(key);
      values.push_back(value.c_str());
    };
    add("host", settings_.Server);
    if (settings_.Port != 0) add("port", port);  // 0: libpq's default
    add("dbname", settings_.Database);
    add("user", settings_.User);
    add("password", settings_.Password);
    add("client_encoding", settings_.CharSet);
    keys.push_back(nullptr);
    values.push_back(nullptr);
    ConnPtr conn(api_.connectdbParams(keys.data(), values.data(), 0), ConnCloser{api_.finish});
    if (conn == nullptr) throw DBError("PostgreSQL: sem memoria para a conexao");
    if (api_.status(conn.get()) != CONNECTION_OK) {
      throw DBError(ClientMessage(api_.errorMessage(conn.get())));
    }
    conn_ = std::move(conn);
  }

  void Disconnect() override {
    if (active_ != nullptr) active_->Abandon();
    conn_.reset();
  }

  // A connection libpq found broken reports itself not connected, so the
  // next GetConnection makes a new one.
  bool Connected() const override {
    return conn_ != nullptr && api_.status(conn_.get()) == CONNECTION_OK;
  }

  std::unique_ptr<TDBCursor> Query(const std::string& sql) override {
    if (conn_ == nullptr) throw DBError("PostgreSQL: conexao nao aberta");
    if (active_ != nullptr) active_->Abandon();
    if (api_.sendQuery(conn_.get(), sql.c_str()) == 0) {
      throw DBError(ClientMessage(api_.errorMessage(conn_.get())));
    }
    // Rows come one at a time rather than the whole result at the end.
    api_.setSingleRowMode(conn_.get());
    auto cursor = std::make_unique<PgCursor>(api_, conn_.get(), &active_);
    active_ = cursor.get();
    cursor->Open();
    return cursor;
  }

 private:
  TDBSettings settings_;
  PqApi api_;
  ConnPtr conn_{nullptr, ConnCloser{nullptr}};
  PgCursor* active_ = nullptr;  // the cursor still reading, if any
};

}  // namespace

std::unique_ptr<TDBConnection> NewPostgreSQLConnection(const TDBSettings& settings) {
  return std::make_unique<PostgreSQLConnection>(settings);
}

}  // namespace lumacor
