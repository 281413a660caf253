// Owning wrappers for one SQLite connection and its prepared statements,
// over the function table of SqliteApi.h.
#ifndef LUMACOR_QUEUE_SQLITE_H_
#define LUMACOR_QUEUE_SQLITE_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "queue/SqliteApi.h"

namespace lumacor {

// A failed SQLite call; what() is SQLite's own message for it.
class SqliteError : public std::runtime_error {
 public:
  SqliteError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  // SQLite's primary result code (kSqliteBusy, ...).
  int code() const { return code_; }

 private:
  int code_;
};

// One prepared statement; finalized when destroyed. Bound text is not
// copied: it must stay alive until Reset, which every user calls before
// the text goes away (see TSqliteStatement::Run).
class TSqliteStatement {
 public:
  TSqliteStatement() = default;
  ~TSqliteStatement();
  TSqliteStatement(TSqliteStatement&& other) noexcept;
  TSqliteStatement& operator=(TSqliteStatement&& other) noexcept;
  TSqliteStatement(const TSqliteStatement&) = delete;
  TSqliteStatement& operator=(const TSqliteStatement&) = delete;

  // Raises SqliteError when the statement has no parameter `name`.
  void BindText(const char* name, std::string_view value);
  void BindInt(const char* name, int64_t value);

  // Advances one row: true when a row is ready, false when done. Raises
  // SqliteError with the connection's message.
  bool Step();

  // Column values of the current row; NULL reads as "" and 0.
  std::string ColumnText(int col) const;
  int64_t ColumnInt(int col) const;
  bool ColumnIsNull(int col) const;

  // Ends the current run and forgets the bindings, so the statement can be
  // reused and holds neither a read lock nor the caller's text. Never raises.
  void Reset();

  // Resets the statement when the scope ends, whatever way it ends.
  class Run {
   public:
    explicit Run(TSqliteStatement& statement) : statement_(statement) {}
    ~Run() { statement_.Reset(); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

   private:
    TSqliteStatement& statement_;
  };

  bool valid() const { return stmt_ != nullptr; }

 private:
  friend class TSqliteConnection;
  TSqliteStatement(const TSqliteApi* api, sqlite3* db, sqlite3_stmt* stmt)
      : api_(api), db_(db), stmt_(stmt) {}
  int ParameterIndex(const char* name) const;
  [[noreturn]] void Fail(int code) const;

  const TSqliteApi* api_ = nullptr;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
};

// One open database connection; closed when destroyed. Statements prepared
// from it must be destroyed first.
class TSqliteConnection {
 public:
  TSqliteConnection() = default;
  ~TSqliteConnection();
  TSqliteConnection(TSqliteConnection&& other) noexcept;
  TSqliteConnection& operator=(TSqliteConnection&& other) noexcept;
  TSqliteConnection(const TSqliteConnection&) = delete;
  TSqliteConnection& operator=(const TSqliteConnection&) = delete;

  // Opens (flags: kSqliteOpen*) the UTF-8 path `path`. Raises SqliteError.
  static TSqliteConnection Open(const std::string& path, int flags,
                                const TSqliteApi& api = SqliteApi());

  // Runs one or more statements that return nothing of interest.
  void Exec(const std::string& sql);
  TSqliteStatement Prepare(std::string_view sql);
  // False while an explicit transaction is open.
  bool AutoCommit() const;

  bool valid() const { return db_ != nullptr; }

 private:
  [[noreturn]] void Fail(int code) const;

  const TSqliteApi* api_ = nullptr;
  sqlite3* db_ = nullptr;
};

}  // namespace lumacor

#endif  // LUMACOR_QUEUE_SQLITE_H_
