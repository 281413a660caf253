#include "collect/odbc/OdbcConnection.h"

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <vector>

#include "common/Text.h"

namespace lumacor {
namespace {

constexpr DatabaseClient kClient = DatabaseClient::kOdbc;

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "ODBC wide characters must be UTF-16");

std::optional<TOdbcDriverOverride>& DriverOverride() {
  static std::optional<TOdbcDriverOverride> value;
  return value;
}

// The driver manager functions this driver calls.
struct OdbcApi {
  const DynamicLibrary* lib = nullptr;
  decltype(&SQLAllocHandle) AllocHandle = nullptr;
  decltype(&SQLFreeHandle) FreeHandle = nullptr;
  decltype(&SQLSetEnvAttr) SetEnvAttr = nullptr;
  decltype(&SQLDriversW) DriversW = nullptr;
  decltype(&SQLDriverConnectW) DriverConnectW = nullptr;
  decltype(&SQLDisconnect) Disconnect = nullptr;
  decltype(&SQLGetConnectAttrW) GetConnectAttrW = nullptr;
  decltype(&SQLExecDirectW) ExecDirectW = nullptr;
  decltype(&SQLNumResultCols) NumResultCols = nullptr;
  decltype(&SQLMoreResults) MoreResults = nullptr;
  decltype(&SQLDescribeColW) DescribeColW = nullptr;
  decltype(&SQLFetch) Fetch = nullptr;
  decltype(&SQLGetData) GetData = nullptr;
  decltype(&SQLGetDiagRecW) GetDiagRecW = nullptr;

  void Load() {
    // The driver manager, not a vendor client: [banco] client_path is not
    // used for SQL Server.
    lib = &LoadClientLibrary(kClient, "");
    BindFunction(kClient, *lib, "SQLAllocHandle", AllocHandle);
    BindFunction(kClient, *lib, "SQLFreeHandle", FreeHandle);
    BindFunction(kClient, *lib, "SQLSetEnvAttr", SetEnvAttr);
    BindFunction(kClient, *lib, "SQLDriversW", DriversW);
    BindFunction(kClient, *lib, "SQLDriverConnectW", DriverConnectW);
    BindFunction(kClient, *lib, "SQLDisconnect", Disconnect);
    BindFunction(kClient, *lib, "SQLGetConnectAttrW", GetConnectAttrW);
    BindFunction(kClient, *lib, "SQLExecDirectW", ExecDirectW);
    BindFunction(kClient, *lib, "SQLNumResultCols", NumResultCols);
    BindFunction(kClient, *lib, "SQLMoreResults", MoreResults);
    BindFunction(kClient, *lib, "SQLDescribeColW", DescribeColW);
    BindFunction(kClient, *lib, "SQLFetch", Fetch);
    BindFunction(kClient, *lib, "SQLGetData", GetData);
    BindFunction(kClient, *lib, "SQLGetDiagRecW", GetDiagRecW);
  }

  // "[SQLSTATE] message" for every diagnostic record of `handle`.
  std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle, std::string* first_state) const {
    std::string msg;
    for (SQLSMALLINT i = 1;; ++i) {
      SQLWCHAR state[6] = {};
      SQLINTEGER native = 0;
      SQLWCHAR text[1024] = {};
      SQLSMALLINT len = 0;
      const SQLRETURN rc = GetDiagRecW(type, handle, i, state, &native, text,
                                       static_cast<SQLSMALLINT>(std::size(text)), &len);
      if (!SQL_SUCCEEDED(rc)) break;
      const std::string st =
          Utf16ToUtf8(std::u16string_view(reinterpret_cast<char16_t*>(state), 5));
      if (first_state != nullptr && i == 1) *first_state = st;
      if (!msg.empty()) msg += "; ";
      const size_t n = std::min<size_t>(static_cast<size_t>(len), std::size(text) - 1);
      msg +=
          "[" + st + "] " + Utf16ToUtf8(std::u16string_view(reinterpret_cast<char16_t*>(text), n));
    }
    return msg.empty() ? std::string("erro ODBC sem diagnostico") : msg;
  }
};

std::u16string Wide(const std::string& utf8) { return Utf8ToUtf16(RequireUtf8(utf8)); }
SQLWCHAR* WidePtr(std::u16string& s) { return reinterpret_cast<SQLWCHAR*>(s.data()); }

// Owns one ODBC handle.
struct HandleCloser {
  decltype(&SQLFreeHandle) free;
  SQLSMALLINT type;
  void operator()(void* h) const { free(type, h); }
};
using HandlePtr = std::unique_ptr<void, HandleCloser>;

bool IsBinaryType(SQLSMALLINT type) {
  return type == SQL_BINARY || type == SQL_VARBINARY || type == SQL_LONGVARBINARY;
}

// SQLSTATEs of a connection that is gone: the whole class 08.
bool ConnectionLost(const std::string& state) { return state.rfind("08", 0) == 0; }

class OdbcCursor final : public TDBCursor {
 public:
  OdbcCursor(const OdbcApi& api, HandlePtr stmt) : api_(api), stmt_(std::move(stmt)) {}

  // Moves past the results without columns ("SET NOCOUNT ON", the row
  // counts of an UPDATE in a batch) to the first one that has some, and
  // reads its column descriptions. `rc` is what the execution returned;
  // no such result leaves the cursor without columns.
  void Describe(SQLRETURN rc) {
    SQLSMALLINT n = 0;
    for (;;) {
      if (rc != SQL_NO_DATA) {
        if (!SQL_SUCCEEDED(api_.NumResultCols(stmt_.get(), &n))) Fail();
        if (n > 0) break;
      }
      rc = api_.MoreResults(stmt_.get());
      if (rc == SQL_NO_DATA) return;
      if (!SQL_SUCCEEDED(rc)) Fail();
    }
    for (SQLSMALLINT i = 1; i <= n; ++i) {
      SQLWCHAR name[256] = {};
      SQLSMALLINT name_len = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      if (!SQL_SUCCEEDED(api_.DescribeColW(stmt_.get(), i, name,
                                           static_cast<SQLSMALLINT>(std::size(name)), &name_len,
                                           &type, &size, &digits, &nullable))) {
        Fail();
      }
      const size_t len = std::min<size_t>(static_cast<size_t>(name_len), std::size(name) - 1);
      names_.push_back(Utf16ToUtf8(std::u16string_view(reinterpret_cast<char16_t*>(name), len)));
      blob_.push_back(IsBinaryType(type));
    }
    values_.resize(names_.size());
  }

  // Reads the whole row at once: drivers may only hand out columns in
  // increasing order, while the caller asks in any order.
  bool Next() override {
    if (names_.empty()) return false;
    const SQLRETURN rc = api_.Fetch(stmt_.get());
    if (rc == SQL_NO_DATA) return false;
    if (!SQL_SUCCEEDED(rc)) Fail();
    for (size_t i = 0; i < names_.size(); ++i) {
      values_[i] = blob_[i] ? ReadBinary(static_cast<SQLUSMALLINT>(i + 1))
                            : ReadText(static_cast<SQLUSMALLINT>(i + 1));
    }
    return true;
  }

  int ColumnCount() const override { return static_cast<int>(names_.size()); }
  std::string ColumnName(int col) const override { return names_[col]; }
  bool IsBlob(int col) const override { return blob_[col]; }
  std::string AsText(int col) override { return values_[col]; }
  std::string AsBytes(int col) override { return values_[col]; }

  [[noreturn]] void Fail() const {
    throw DBError(api_.Diagnostics(SQL_HANDLE_STMT, stmt_.get(), nullptr));
  }

 private:
  // All the parts of a long value; NULL gives "".
  std::string ReadParts(SQLUSMALLINT col, SQLSMALLINT c_type, size_t terminator) {
    std::string out;
    std::vector<char> buf(16384);
    for (;;) {
      SQLLEN ind = 0;
      const SQLRETURN rc =
          api_.GetData(stmt_.get(), col, c_type, buf.data(), static_cast<SQLLEN>(buf.size()), &ind);
      if (rc == SQL_NO_DATA) break;
      if (!SQL_SUCCEEDED(rc)) Fail();
      if (ind == SQL_NULL_DATA) return std::string();
      const size_t room = buf.size() - terminator;
      size_t got = room;
      if (ind != SQL_NO_TOTAL && static_cast<size_t>(ind) < room) got = static_cast<size_t>(ind);
      out.append(buf.data(), got);
      if (rc == SQL_SUCCESS) break;  // SQL_SUCCESS_WITH_INFO: more to come
    }
    return out;
  }

  std::string ReadBinary(SQLUSMALLINT col) { return ReadParts(col, SQL_C_BINARY, 0); }

  std::string ReadText(SQLUSMALLINT col) {
    const std::string units = ReadParts(col, SQL_C_WCHAR, sizeof(SQLWCHAR));
    return Utf16BytesToUtf8(units, /*big_endian=*/false);
  }

  const OdbcApi& api_;
  HandlePtr stmt_;
  std::vector<std::string> names_;
  std::vector<bool> blob_;
  std::vector<std::string> values_;
};

class OdbcConnection final : public TDBConnection {
 public:
  explicit OdbcConnection(TDBSettings settings) : settings_(std::move(settings)) {}
  ~OdbcConnection() override { Disconnect(); }

  void Connect() override {
    if (api_.lib == nullptr) {
      OdbcApi api;
      api.Load();
      api_ = std::move(api);
    }
    Disconnect();
    if (env_ == nullptr) {
      SQLHANDLE env = SQL_NULL_HANDLE;
      if (!SQL_SUCCEEDED(api_.AllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
        throw DBError("ODBC: falha ao criar o ambiente");
      }
      HandlePtr owned(env, HandleCloser{api_.FreeHandle, SQL_HANDLE_ENV});
      api_.SetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
      env_ = std::move(owned);
    }
    std::string conn_str;
    if (const auto& o = DriverOverride(); o.has_value()) {
      conn_str = "DRIVER={" + o->Driver + "};" + o->ServerAttributes +
                 "DATABASE=" + OdbcValue(settings_.Database) + ";UID=" + OdbcValue(settings_.User) +
                 ";PWD=" + OdbcValue(settings_.Password) + ";";
    } else {
      const std::string driver = ChooseSqlServerDriver(InstalledDrivers());
      if (driver.empty()) {
        throw DBError(
            "nenhum driver ODBC do SQL Server instalado (ODBC Driver 18 for SQL Server, "
            "ODBC Driver 17 for SQL Server, FreeTDS, ...)");
      }
      conn_str = SqlServerConnectionString(driver, settings_);
    }

    SQLHANDLE dbc = SQL_NULL_HANDLE;
    if (!SQL_SUCCEEDED(api_.AllocHandle(SQL_HANDLE_DBC, env_.get(), &dbc))) {
      throw DBError(api_.Diagnostics(SQL_HANDLE_ENV, env_.get(), nullptr));
    }
    HandlePtr owned(dbc, HandleCloser{api_.FreeHandle, SQL_HANDLE_DBC});
    std::u16string wide = Wide(conn_str);
    SQLSMALLINT out_len = 0;
    const SQLRETURN rc = api_.DriverConnectW(dbc, nullptr, WidePtr(wide), SQL_NTS, nullptr, 0,
                                             &out_len, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) throw DBError(api_.Diagnostics(SQL_HANDLE_DBC, dbc, nullptr));
    dbc_ = std::move(owned);
  }

  void Disconnect() override {
    if (dbc_ == nullptr) return;
    api_.Disconnect(dbc_.get());
    dbc_.reset();
  }

  bool Connected() const override { return dbc_ != nullptr; }

  std::unique_ptr<TDBCursor> Query(const std::string& sql) override {
    if (dbc_ == nullptr) throw DBError("ODBC: conexao nao aberta");
    SQLHANDLE stmt = SQL_NULL_HANDLE;
    if (!SQL_SUCCEEDED(api_.AllocHandle(SQL_HANDLE_STMT, dbc_.get(), &stmt))) {
      FailOn(SQL_HANDLE_DBC, dbc_.get());
    }
    auto cursor = std::make_unique<OdbcCursor>(
        api_, HandlePtr(stmt, HandleCloser{api_.FreeHandle, SQL_HANDLE_STMT}));
    std::u16string wide = Wide(sql);
    const SQLRETURN rc = api_.ExecDirectW(stmt, WidePtr(wide), SQL_NTS);
    // SQL_NO_DATA: a first statement that touched no rows; a batch may
    // still have a result set after it.
    if (rc != SQL_NO_DATA && !SQL_SUCCEEDED(rc)) FailOn(SQL_HANDLE_STMT, stmt, &cursor);
    try {
      cursor->Describe(rc);
    } catch (const DBError&) {
      FailOn(SQL_HANDLE_STMT, stmt, &cursor);
    }
    return cursor;
  }

 private:
  std::vector<std::string> InstalledDrivers() {
    std::vector<std::string> names;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    for (;;) {
      SQLWCHAR desc[512] = {};
      SQLWCHAR attrs[2048] = {};
      SQLSMALLINT desc_len = 0, attrs_len = 0;
      const SQLRETURN rc =
          api_.DriversW(env_.get(), direction, desc, static_cast<SQLSMALLINT>(std::size(desc)),
                        &desc_len, attrs, static_cast<SQLSMALLINT>(std::size(attrs)), &attrs_len);
      if (!SQL_SUCCEEDED(rc)) break;
      const size_t len = std::min<size_t>(static_cast<size_t>(desc_len), std::size(desc) - 1);
      names.push_back(Utf16ToUtf8(std::u16string_view(reinterpret_cast<char16_t*>(desc), len)));
      direction = SQL_FETCH_NEXT;
    }
    return names;
  }

  // Raises the diagnostics of `handle`; a connection found gone is
  // dropped, so the next GetConnection opens a new one.
  // `cursor`, when given, owns `handle`: it goes before a lost connection
  // is closed, since a statement must not outlive its connection handle.
  [[noreturn]] void FailOn(SQLSMALLINT type, SQLHANDLE handle,
                           std::unique_ptr<OdbcCursor>* cursor = nullptr) {
    std::string state;
    std::string msg = api_.Diagnostics(type, handle, &state);
    const bool lost = ConnectionLost(state) || ConnectionDead();
    if (cursor != nullptr) cursor->reset();
    if (lost) Disconnect();
    throw DBError(msg);
  }

  // What the driver knows of the connection: drivers report the loss with
  // SQLSTATEs of their own too (the server's "terminating connection").
  bool ConnectionDead() {
    if (dbc_ == nullptr) return false;
    SQLUINTEGER dead = SQL_CD_FALSE;
    const SQLRETURN rc =
        api_.GetConnectAttrW(dbc_.get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
    return SQL_SUCCEEDED(rc) && dead == SQL_CD_TRUE;
  }

  TDBSettings settings_;
  OdbcApi api_;
  HandlePtr env_{nullptr, HandleCloser{nullptr, SQL_HANDLE_ENV}};
  HandlePtr dbc_{nullptr, HandleCloser{nullptr, SQL_HANDLE_DBC}};
};

// Splits "host,port" at its last comma; no comma gives no port.
void SplitServer(const std::string& server, std::string* host, std::string* port) {
  const size_t comma = server.rfind(',');
  if (comma == std::string::npos) {
    *host = server;
    port->clear();
  } else {
    *host = server.substr(0, comma);
    *port = server.substr(comma + 1);
  }
}

}  // namespace

std::string OdbcValue(const std::string& value) {
  const bool plain = value.find_first_of(";{}=") == std::string::npos &&
                     (value.empty() || (value.front() != ' ' && value.back() != ' '));
  if (plain) return value;
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  return out + "}";
}

std::string ChooseSqlServerDriver(const std::vector<std::string>& installed) {
  static const char* const kPreferred[] = {"ODBC Driver 18 for SQL Server",
                                           "ODBC Driver 17 for SQL Server",
                                           "ODBC Driver 13.1 for SQL Server",
                                           "ODBC Driver 13 for SQL Server",
                                           "ODBC Driver 11 for SQL Server",
                                           "SQL Server Native Client 11.0",
                                           "SQL Server Native Client 10.0",
                                           "FreeTDS",
                                           "SQL Server"};
  for (const char* want : kPreferred) {
    for (const auto& name : installed) {
      if (EqualsIgnoreAsciiCase(name, want)) return name;
    }
  }
  return std::string();
}

std::string SqlServerConnectionString(const std::string& driver, const TDBSettings& settings) {
  std::string s = "DRIVER={" + driver + "};";
  if (EqualsIgnoreAsciiCase(driver, "FreeTDS")) {
    // FreeTDS takes the port apart from the host.
    std::string host, port;
    SplitServer(settings.Server, &host, &port);
    s += "SERVER=" + OdbcValue(host) + ";";
    if (!port.empty()) s += "PORT=" + OdbcValue(port) + ";";
  } else {
    s += "SERVER=" + OdbcValue(settings.Server) + ";";
  }
  s += "DATABASE=" + OdbcValue(settings.Database) + ";";
  s += "UID=" + OdbcValue(settings.User) + ";";
  s += "PWD=" + OdbcValue(settings.Password) + ";";
  // Driver 18 encrypts and checks the certificate by default; ERP servers
  // mostly have self-signed ones, which the older drivers accepted. Where
  // the server has a real one, [banco] confiar_certificado=0 keeps the check.
  if (settings.TrustServerCertificate &&
      EqualsIgnoreAsciiCase(driver, "ODBC Driver 18 for SQL Server")) {
    s += "TrustServerCertificate=yes;";
  }
  return s;
}

void SetOdbcDriverOverrideForTesting(std::optional<TOdbcDriverOverride> override_driver) {
  DriverOverride() = std::move(override_driver);
}

std::unique_ptr<TDBConnection> NewSqlServerConnection(const TDBSettings& settings) {
  return std::make_unique<OdbcConnection>(settings);
}

}  // namespace lumacor
