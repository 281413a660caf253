#include "testsupport/DBServers.h"

#include <cstdlib>

#include "collect/odbc/OdbcConnection.h"
#include "common/Text.h"
#include "testsupport/TestSupport.h"

namespace lumacor::testing {
namespace {

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::string PgBlob(std::string_view b) { return "'\\x" + Hex(b) + "'::bytea"; }
std::string XBlob(std::string_view b) { return b.empty() ? "''" : "x'" + Hex(b) + "'"; }
std::string PipeConcat(const std::string& a, const std::string& b) { return a + " || " + b; }
std::string FnConcat(const std::string& a, const std::string& b) {
  return "CONCAT(" + a + ", " + b + ")";
}
std::string PgRepeat(const std::string& lit, int n) {
  return "repeat(" + lit + ", " + std::to_string(n) + ")";
}
std::string MyRepeat(const std::string& lit, int n) {
  return "REPEAT(" + lit + ", " + std::to_string(n) + ")";
}
// Firebird has no REPEAT; RPAD over a BLOB grows past the VARCHAR limit.
std::string FbRepeat(const std::string& lit, int n) {
  return "RPAD(CAST('' AS BLOB SUB_TYPE 1), " + std::to_string(n) + " * CHAR_LENGTH(" + lit +
         "), " + lit + ")";
}

DBBackend::Procedure PgProcedure(const std::string& t) {
  return {"CREATE FUNCTION fn_" + t +
              "() RETURNS TABLE (chave_unica VARCHAR, xml TEXT) AS "
              "'SELECT chave, txt FROM " +
              t + " ORDER BY id' LANGUAGE sql",
          "DROP FUNCTION fn_" + t + "()", "SELECT * FROM fn_" + t + "()"};
}
DBBackend::Procedure MyProcedure(const std::string& t) {
  return {"CREATE PROCEDURE sp_" + t + "() SELECT chave AS chave_unica, txt AS xml FROM " + t +
              " ORDER BY id",
          "DROP PROCEDURE sp_" + t, "CALL sp_" + t + "()"};
}
// A selectable procedure: rows come out through SUSPEND.
DBBackend::Procedure FbProcedure(const std::string& t) {
  return {"CREATE PROCEDURE SP_" + t +
              " RETURNS (CHAVE_UNICA VARCHAR(100), XML BLOB SUB_TYPE 1) "
              "AS BEGIN FOR SELECT CHAVE, TXT FROM " +
              t +
              " ORDER BY ID INTO :CHAVE_UNICA, :XML "
              "DO SUSPEND; END",
          "DROP PROCEDURE SP_" + t, "SELECT * FROM SP_" + t};
}
std::string PgDropSession(const std::string& id) {
  return "SELECT pg_terminate_backend(" + id + ")";
}
std::string MyDropSession(const std::string& id) { return "KILL " + id; }
std::string FbDropSession(const std::string& id) {
  return "DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID = " + id;
}

// Whether LUMACOR_TEST_NO_CLIENT lists `name` (blank- or comma-separated).
bool ClientMissing(const std::string& name) {
  const std::string list = " " + TestEnv("LUMACOR_TEST_NO_CLIENT") + " ";
  std::string padded;
  for (char c : list) padded += c == ',' ? ' ' : c;
  return padded.find(" " + name + " ") != std::string::npos;
}

}  // namespace

const DBBackend& PostgreSQLBackend() {
  static const DBBackend b{"PostgreSQL",
                           "PG",
                           "postgresql",
                           false,
                           "TEXT",
                           "BYTEA",
                           PgBlob,
                           PipeConcat,
                           PgRepeat,
                           PgProcedure,
                           "SELECT pg_backend_pid()",
                           PgDropSession,
                           true};
  return b;
}
const DBBackend& MariaDBBackend() {
  static const DBBackend b{"MariaDB",
                           "MARIADB",
                           "mysql",
                           false,
                           "LONGTEXT",
                           "LONGBLOB",
                           XBlob,
                           FnConcat,
                           MyRepeat,
                           MyProcedure,
                           "SELECT CONNECTION_ID()",
                           MyDropSession,
                           false};
  return b;
}
const DBBackend& FirebirdBackend() {
  static const DBBackend b{"Firebird",
                           "FIREBIRD",
                           "firebird",
                           false,
                           "BLOB SUB_TYPE 1",
                           "BLOB SUB_TYPE 0",
                           XBlob,
                           PipeConcat,
                           FbRepeat,
                           FbProcedure,
                           "SELECT CURRENT_CONNECTION FROM RDB$DATABASE",
                           FbDropSession,
                           false};
  return b;
}
const DBBackend& OdbcPostgreSQLBackend() {
  static const DBBackend b{"OdbcPostgreSQL",
                           "PG",
                           "mssql",
                           true,
                           "TEXT",
                           "BYTEA",
                           PgBlob,
                           PipeConcat,
                           PgRepeat,
                           PgProcedure,
                           "SELECT pg_backend_pid()",
                           PgDropSession,
                           true};
  return b;
}

std::optional<TSincConfig> ServerConfig(const DBBackend& backend, std::string* why) {
  if (ClientMissing(backend.name)) {
    *why = "cliente do " + std::string(backend.name) +
           " indisponivel nesta plataforma de teste (LUMACOR_TEST_NO_CLIENT); o nome e a carga "
           "da biblioteca sao testados com a DLL substituta";
    return std::nullopt;
  }
  const std::string prefix = std::string("LUMACOR_") + backend.env + "_";
  TSincConfig c;
  const std::string port = TestEnv((prefix + "PORT").c_str());
  c.DBHost = TestEnv((prefix + "HOST").c_str());
  c.DBName = TestEnv((prefix + "DB").c_str());
  c.DBUser = TestEnv((prefix + "USER").c_str());
  c.DBPass = TestEnv((prefix + "PASS").c_str());
  if (port.empty() || c.DBHost.empty() || c.DBName.empty()) {
    *why = "servidor " + std::string(backend.name) + " indisponivel: " + prefix +
           "HOST/PORT/DB nao definidos (rode scripts/test para iniciar os servidores)";
    return std::nullopt;
  }
  c.DBPort = std::atoi(port.c_str());
  c.DBType = backend.db_type;
  c.ModoColeta = "banco";
  return c;
}

bool ServersRequired() { return !TestEnv("LUMACOR_TEST_RUN_DIR").empty(); }

std::string SqlText(std::string_view utf8) {
  std::string out = "'";
  for (char c : utf8) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

OdbcRedirect::OdbcRedirect(const DBBackend& backend, const TSincConfig& config)
    : active_(backend.odbc) {
  if (!active_) return;
  SetOdbcDriverOverrideForTesting(TOdbcDriverOverride{
      "PostgreSQL Unicode",
      "SERVER=" + config.DBHost + ";PORT=" + std::to_string(config.DBPort) + ";"});
}

OdbcRedirect::~OdbcRedirect() {
  if (active_) SetOdbcDriverOverrideForTesting(std::nullopt);
}

}  // namespace lumacor::testing
