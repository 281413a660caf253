#include "collect/DBProvider.h"

#include "collect/firebird/FirebirdConnection.h"
#include "collect/mysql/MySQLConnection.h"
#include "collect/odbc/OdbcConnection.h"
#include "collect/postgresql/PostgreSQLConnection.h"
#include "common/Text.h"
#include "platform/DatabaseClients.h"

namespace lumacor {
namespace {

void Require(const std::string& value, const char* message) {
  if (value.empty()) throw DBError(message);
}

// Settings of the systems reached through their vendor's own client.
TDBSettings VendorClientSettings(const TSincConfig& c, const char* charset) {
  return TDBSettings{c.DBHost, c.DBPort, c.DBName, c.DBUser, c.DBPass, charset, c.DBClientPath};
}

}  // namespace

TDBProvider::TDBProvider() {
  FConfig = GConfigManager->Config();
  try {
    const std::string& type = FConfig.DBType;
    if (type == "firebird") {
      ConfigFirebird();
    } else if (type == "mysql") {
      ConfigMySQL();
    } else if (EqualsIgnoreAsciiCase(type, "postgresql") || EqualsIgnoreAsciiCase(type, "pg")) {
      ConfigPostgreSQL();
    } else if (type == "mssql") {
      ConfigMSSQL();
    } else {
      throw DBError(
          Format("DBProvider.Create: tipo de banco inválido ou não configurado: \"%s\". "
                 "Verifique [banco] tipo= no Marlux.ini (firebird | mysql | postgresql | "
                 "mssql).",
                 type.c_str()));
    }
  } catch (const std::exception& e) {
    FConnection.reset();
    throw DBError(std::string("DBProvider.Create falhou: ") + e.what());
  }
}

TDBProvider::~TDBProvider() {
  if (FConnection != nullptr && FConnection->Connected()) FConnection->Disconnect();
}

void TDBProvider::ConfigFirebird() {
  Require(FConfig.DBName, "ConfigFirebird: [banco] nome= não informado no Marlux.ini");
  Require(FConfig.DBUser, "ConfigFirebird: [banco] usuario= não informado no Marlux.ini");
  FSystem = dbFirebird;
  FSettings = VendorClientSettings(FConfig, "UTF8");
  FConnection = NewFirebirdConnection(FSettings);
}

void TDBProvider::ConfigMySQL() {
  Require(FConfig.DBName, "ConfigMySQL: [banco] nome= não informado no Marlux.ini");
  FSystem = dbMySQL;
  FSettings = VendorClientSettings(FConfig, "utf8mb4");
  FConnection = NewMySQLConnection(FSettings);
}

void TDBProvider::ConfigPostgreSQL() {
  Require(FConfig.DBName, "ConfigPostgreSQL: [banco] nome= não informado no Marlux.ini");
  FSystem = dbPostgreSQL;
  FSettings = VendorClientSettings(FConfig, "UTF8");
  FConnection = NewPostgreSQLConnection(FSettings);
}

void TDBProvider::ConfigMSSQL() {
  Require(FConfig.DBName, "ConfigMSSQL: [banco] nome= não informado no Marlux.ini");
  FSystem = dbMSSQL;
  // The port travels in the server text; no character set or client path.
  FSettings = TDBSettings{FConfig.DBHost + "," + std::to_string(FConfig.DBPort),
                          0,
                          FConfig.DBName,
                          FConfig.DBUser,
                          FConfig.DBPass,
                          "",
                          ""};
  FSettings.TrustServerCertificate = FConfig.DBConfiarCertificado;
  FConnection = NewSqlServerConnection(FSettings);
}

TDBConnection* TDBProvider::GetConnection() {
  if (!FConnection->Connected()) {
    try {
      // Loading and first use of a client may take over the stop signals.
      StopSignalsKeeper keep_stop_signals;
      FConnection->Connect();
    } catch (const std::exception& e) {
      throw DBError(
          Format("DBProvider.GetConnection: falha ao conectar no banco \"%s\" (%s:%d) — %s",
                 FSettings.Database.c_str(), FSettings.Server.c_str(), FSettings.Port, e.what()));
    }
  }
  return FConnection.get();
}

}  // namespace lumacor
