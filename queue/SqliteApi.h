// The SQLite 3 functions the queue calls, gathered in one table so the
// library can be linked (POSIX) or loaded from "sqlite3.dll" at run time
// (Windows). Nothing outside queue/Sqlite* calls SQLite directly.
#ifndef LUMACOR_QUEUE_SQLITEAPI_H_
#define LUMACOR_QUEUE_SQLITEAPI_H_

// SQLite's own opaque handle types; their layout is never needed.
struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_vfs;

namespace lumacor {

class DynamicLibrary;

// Result codes and flags of the stable SQLite 3 ABI.
inline constexpr int kSqliteOk = 0;
inline constexpr int kSqliteBusy = 5;
inline constexpr int kSqliteTooBig = 18;
inline constexpr int kSqliteRow = 100;
inline constexpr int kSqliteDone = 101;
inline constexpr int kSqliteOpenReadWrite = 0x00000002;
inline constexpr int kSqliteOpenCreate = 0x00000004;
inline constexpr int kSqliteNull = 5;  // column type

using SqliteDestructor = void (*)(void*);
// sqlite3_int64 as sqlite3.h declares it.
using SqliteInt64 = long long;

struct TSqliteApi {
  int (*open_v2)(const char* filename, sqlite3** db, int flags, const char* vfs);
  int (*close_v2)(sqlite3* db);
  const char* (*errmsg)(sqlite3* db);
  int (*exec)(sqlite3* db, const char* sql, int (*callback)(void*, int, char**, char**), void* arg,
              char** errmsg);
  int (*get_autocommit)(sqlite3* db);
  int (*prepare_v2)(sqlite3* db, const char* sql, int bytes, sqlite3_stmt** stmt,
                    const char** tail);
  int (*finalize)(sqlite3_stmt* stmt);
  int (*reset)(sqlite3_stmt* stmt);
  int (*clear_bindings)(sqlite3_stmt* stmt);
  int (*bind_parameter_index)(sqlite3_stmt* stmt, const char* name);
  int (*bind_text)(sqlite3_stmt* stmt, int index, const char* text, int bytes,
                   SqliteDestructor destructor);
  int (*bind_int64)(sqlite3_stmt* stmt, int index, SqliteInt64 value);
  int (*step)(sqlite3_stmt* stmt);
  int (*column_type)(sqlite3_stmt* stmt, int col);
  const unsigned char* (*column_text)(sqlite3_stmt* stmt, int col);
  int (*column_bytes)(sqlite3_stmt* stmt, int col);
  SqliteInt64 (*column_int64)(sqlite3_stmt* stmt, int col);
  // Only tests use these: they wrap the default file layer to inject
  // faults, in the library the queue really runs on.
  sqlite3_vfs* (*vfs_find)(const char* name);
  int (*vfs_register)(sqlite3_vfs* vfs, int make_default);
  int (*vfs_unregister)(sqlite3_vfs* vfs);
  // The most SQLite's heap held since the last reset (`reset` nonzero
  // starts again), to check the bound the queue sets on it.
  SqliteInt64 (*memory_highwater)(int reset);
};

// Every member, for code that fills or checks the whole table.
// clang-format off
#define LUMACOR_SQLITE_FUNCTIONS(X)                                            \
  X(open_v2) X(close_v2) X(errmsg) X(exec) X(get_autocommit) X(prepare_v2)     \
  X(finalize) X(reset) X(clear_bindings) X(bind_parameter_index) X(bind_text)  \
  X(bind_int64) X(step) X(column_type) X(column_text) X(column_bytes)          \
  X(column_int64) X(vfs_find) X(vfs_register) X(vfs_unregister)              \
  X(memory_highwater)
// clang-format on

// The process's table. On POSIX it holds the linked libsqlite3; on Windows
// it is filled from "sqlite3.dll" beside the executable on first use and
// raises PlatformError when that library cannot be loaded.
const TSqliteApi& SqliteApi();

// Fills a table from a loaded SQLite 3 library, raising PlatformError that
// names the first missing function. The library must outlive the table.
TSqliteApi LoadSqliteApi(const DynamicLibrary& library);

}  // namespace lumacor

#endif  // LUMACOR_QUEUE_SQLITEAPI_H_
