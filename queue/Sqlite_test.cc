#include "queue/Sqlite.h"

#include <gtest/gtest.h>

#include "platform/DynamicLibrary.h"
#include "platform/FileSystem.h"
#include "testsupport/TestSupport.h"

namespace lumacor {
namespace {

constexpr int kOpenFlags = kSqliteOpenReadWrite | kSqliteOpenCreate;

// Opens `path` holding it exclusively once written.
TSqliteConnection OpenHeld(const std::string& path) {
  TSqliteConnection c = TSqliteConnection::Open(path, kOpenFlags);
  c.Exec("PRAGMA locking_mode = EXCLUSIVE");
  c.Exec("CREATE TABLE IF NOT EXISTS t (v TEXT)");
  return c;
}

bool CanWrite(const std::string& path) {
  try {
    TSqliteConnection c = TSqliteConnection::Open(path, kOpenFlags);
    c.Exec("INSERT INTO t VALUES ('x')");
    return true;
  } catch (const SqliteError&) {
    return false;
  }
}

TEST(SqliteTest, ConnectionMoveAssignmentClosesTheOldHandle) {
  testing::TempDir dir;
  std::string a = dir.Path("a.db"), b = dir.Path("b.db");
  TSqliteConnection first = OpenHeld(a);
  TSqliteConnection second = OpenHeld(b);
  ASSERT_FALSE(CanWrite(a));

  first = std::move(second);
  EXPECT_TRUE(CanWrite(a));   // a's connection is closed
  EXPECT_FALSE(CanWrite(b));  // b's is alive, now in `first`
  EXPECT_FALSE(second.valid());

  auto& self = first;
  first = std::move(self);
  EXPECT_TRUE(first.valid());
  EXPECT_FALSE(CanWrite(b));

  TSqliteConnection moved(std::move(first));
  EXPECT_FALSE(first.valid());
  moved = TSqliteConnection();
  EXPECT_TRUE(CanWrite(b));
}

TEST(SqliteTest, StatementMoveAssignmentAndReuse) {
  TSqliteConnection c = TSqliteConnection::Open(":memory:", kOpenFlags);
  c.Exec("CREATE TABLE t (v TEXT, n INTEGER)");
  TSqliteStatement insert = c.Prepare("INSERT INTO t VALUES (:v, :n)");
  TSqliteStatement other = c.Prepare("SELECT v, n FROM t ORDER BY n");

  // The old statement is finalized (LeakSanitizer sees a leak otherwise);
  // the moved one works from its new owner.
  insert = std::move(other);
  EXPECT_FALSE(other.valid());
  other = c.Prepare("INSERT INTO t VALUES (:v, :n)");
  for (int i = 0; i < 3; ++i) {
    TSqliteStatement::Run run(other);
    std::string v = "v" + std::to_string(i);
    other.BindText(":v", v);
    if (i != 1) other.BindInt(":n", i);  // bindings do not leak into the next run
    EXPECT_FALSE(other.Step());
  }
  std::vector<std::string> rows;
  {
    TSqliteStatement::Run run(insert);
    while (insert.Step()) {
      rows.push_back(insert.ColumnText(0) + "|" +
                     (insert.ColumnIsNull(1) ? "NULL" : std::to_string(insert.ColumnInt(1))));
    }
  }
  EXPECT_EQ(rows, (std::vector<std::string>{"v1|NULL", "v0|0", "v2|2"}));
  EXPECT_THROW(other.BindText(":nao_existe", "x"), SqliteError);
  try {
    c.Prepare("SELECT * FROM nada");
    FAIL();
  } catch (const SqliteError& e) {
    EXPECT_STREQ(e.what(), "no such table: nada");
  }
}

TEST(SqliteApiTest, LoadsTheTableFromALibrary) {
  DynamicLibrary lib;
  try {
    lib = DynamicLibrary::OpenFirst({"libsqlite3.so.0", "libsqlite3.so"});
  } catch (const PlatformError&) {
    GTEST_SKIP() << "no SQLite shared library by these names";
  }
  TSqliteApi api = LoadSqliteApi(lib);
  TSqliteConnection c = TSqliteConnection::Open(":memory:", kOpenFlags, api);
  TSqliteStatement s = c.Prepare("SELECT upper('sqlite')");
  ASSERT_TRUE(s.Step());
  EXPECT_EQ(s.ColumnText(0), "SQLITE");

  DynamicLibrary outra = DynamicLibrary::OpenFirst({"libz.so.1", "libc.so.6"});
  try {
    LoadSqliteApi(outra);
    FAIL();
  } catch (const PlatformError& e) {
    EXPECT_NE(std::string(e.what()).find("sqlite3_open_v2"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace lumacor
