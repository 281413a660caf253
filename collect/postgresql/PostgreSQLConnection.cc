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
  decltype(&PQexec) exec = nullptr;
  decltype(&PQresultStatus) resultStatus = nullptr;
  decltype(&PQresultErrorMessage) resultErrorMessage = nullptr;
  decltype(&PQclear) clear = nullptr;
  decltype(&PQntuples) ntuples = nullptr;
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
    BindFunction(kClient, *lib, "PQexec", exec);
    BindFunction(kClient, *lib, "PQresultStatus", resultStatus);
    BindFunction(kClient, *lib, "PQresultErrorMessage", resultErrorMessage);
    BindFunction(kClient, *lib, "PQclear", clear);
    BindFunction(kClient, *lib, "PQntuples", ntuples);
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

class PgCursor final : public TDBCursor {
 public:
  PgCursor(const PqApi& api, ResultPtr result)
      : api_(api), result_(std::move(result)), rows_(api.ntuples(result_.get())) {}

  bool Next() override {
    if (row_ < rows_) ++row_;
    return row_ < rows_;
  }
  int ColumnCount() const override { return api_.nfields(result_.get()); }
  std::string ColumnName(int col) const override {
    const char* name = api_.fname(result_.get(), col);
    return name == nullptr ? std::string() : std::string(name);
  }
  bool IsBlob(int col) const override { return api_.ftype(result_.get(), col) == kByteaOid; }

  std::string AsText(int col) override {
    if (api_.getisnull(result_.get(), row_, col)) return std::string();
    return std::string(api_.getvalue(result_.get(), row_, col),
                       static_cast<size_t>(api_.getlength(result_.get(), row_, col)));
  }

  std::string AsBytes(int col) override {
    if (!IsBlob(col)) return AsText(col);
    if (api_.getisnull(result_.get(), row_, col)) return std::string();
    size_t len = 0;
    unsigned char* raw = api_.unescapeBytea(
        reinterpret_cast<const unsigned char*>(api_.getvalue(result_.get(), row_, col)), &len);
    if (raw == nullptr) throw DBError("PostgreSQL: falha ao decodificar valor bytea");
    std::string bytes(reinterpret_cast<const char*>(raw), len);
    api_.freemem(raw);
    return bytes;
  }

 private:
  const PqApi& api_;
  ResultPtr result_;
  int rows_;
  int row_ = -1;
};

class PostgreSQLConnection final : public TDBConnection {
 public:
  explicit PostgreSQLConnection(TDBSettings settings) : settings_(std::move(settings)) {}

  void Connect() override {
    if (api_.lib == nullptr) {
      PqApi api;
      api.Load(settings_.ClientLibrary);
      api_ = std::move(api);
    }
    conn_.reset();
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

  void Disconnect() override { conn_.reset(); }

  // A connection libpq found broken reports itself not connected, so the
  // next GetConnection makes a new one.
  bool Connected() const override {
    return conn_ != nullptr && api_.status(conn_.get()) == CONNECTION_OK;
  }

  std::unique_ptr<TDBCursor> Query(const std::string& sql) override {
    if (conn_ == nullptr) throw DBError("PostgreSQL: conexao nao aberta");
    ResultPtr result(api_.exec(conn_.get(), sql.c_str()), ResultCloser{api_.clear});
    if (result == nullptr) throw DBError(ClientMessage(api_.errorMessage(conn_.get())));
    const ExecStatusType st = api_.resultStatus(result.get());
    if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK) {
      throw DBError(ClientMessage(api_.resultErrorMessage(result.get())));
    }
    return std::make_unique<PgCursor>(api_, std::move(result));
  }

 private:
  TDBSettings settings_;
  PqApi api_;
  ConnPtr conn_{nullptr, ConnCloser{nullptr}};
};

}  // namespace

std::unique_ptr<TDBConnection> NewPostgreSQLConnection(const TDBSettings& settings) {
  return std::make_unique<PostgreSQLConnection>(settings);
}

}  // namespace lumacor
