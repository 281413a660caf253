// The small interface the collector needs from an ERP database, with one
// implementation per vendor client (collect/firebird, collect/mysql,
// collect/postgresql, collect/odbc). Each client library is loaded at run
// time, on the first Connect, never at construction.
#ifndef LUMACOR_COLLECT_DBDRIVER_H_
#define LUMACOR_COLLECT_DBDRIVER_H_

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DatabaseClients.h"
#include "platform/DynamicLibrary.h"

namespace lumacor {

// A failure reported by a database client or by the connection layer; the
// message is the client's own text.
class DBError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Connection settings as the configuration routines of TDBProvider make
// them. Empty texts are settings left out.
struct TDBSettings {
  std::string Server;    // host; for SQL Server "host,port"
  int32_t Port = 0;      // not used by SQL Server (part of Server)
  std::string Database;  // name, or for Firebird a path or alias
  std::string User;
  std::string Password;
  std::string CharSet;        // client character set
  std::string ClientLibrary;  // path of the client library; empty: the usual name
  // SQL Server: accept the server's certificate without checking it.
  bool TrustServerCertificate = true;
};

// The rows of one query, read forward once. Owns the statement (and, where
// the client has one, the transaction) and releases them when destroyed.
class TDBCursor {
 public:
  virtual ~TDBCursor() = default;

  // Moves to the next row; false after the last one. The first call moves
  // to the first row.
  virtual bool Next() = 0;
  // Index of the column named `name`, letter case ignored; -1 when absent.
  int FindColumn(std::string_view name) const;
  virtual int ColumnCount() const = 0;
  virtual std::string ColumnName(int col) const = 0;
  // True for columns of raw bytes (BLOB, bytea, binary types).
  virtual bool IsBlob(int col) const = 0;
  // REQUIRES: Next() returned true. The value as UTF-8 text; NULL gives "".
  virtual std::string AsText(int col) = 0;
  // REQUIRES: Next() returned true. The raw bytes; NULL gives "".
  virtual std::string AsBytes(int col) = 0;
};

// One connection to one database. Not thread-safe.
class TDBConnection {
 public:
  virtual ~TDBConnection() = default;

  // Loads the client library (once) and connects. Raises DBError with the
  // client's message; a failure leaves the connection not connected.
  virtual void Connect() = 0;
  virtual void Disconnect() = 0;
  virtual bool Connected() const = 0;
  // Runs `sql` as given, with nothing bound. A statement that returns no
  // rows gives a cursor without columns. REQUIRES: Connected().
  virtual std::unique_ptr<TDBCursor> Query(const std::string& sql) = 0;
};

// Loads a database client: `client_path` when it is not empty, else the
// first of the platform's usual names for `client` that loads. Raises
// DBError naming the library and the reason, and the [banco] client_path
// key where that key applies (not for the ODBC driver manager). A client
// once loaded stays loaded until the process ends (see DBDriver.cc).
const DynamicLibrary& LoadClientLibrary(DatabaseClient client, const std::string& client_path);

// The address of `symbol` in `lib`, the library of `client`; raises
// DBError when the library lacks it (a client too old or not the one
// expected).
void* RequireClientSymbol(DatabaseClient client, const DynamicLibrary& lib, const char* symbol);
template <typename Fn>
void BindFunction(DatabaseClient client, const DynamicLibrary& lib, const char* symbol, Fn& fn) {
  fn = reinterpret_cast<Fn>(RequireClientSymbol(client, lib, symbol));
}

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_DBDRIVER_H_
