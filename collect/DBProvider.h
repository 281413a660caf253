// The one connection to the ERP's database: turns the [banco] settings into
// the settings of one database system, connects on first use and keeps the
// connection open until destroyed.
#ifndef LUMACOR_COLLECT_DBPROVIDER_H_
#define LUMACOR_COLLECT_DBPROVIDER_H_

#include <memory>

#include "collect/DBDriver.h"
#include "config/Config.h"

namespace lumacor {

enum TDBSystem { dbFirebird, dbMySQL, dbPostgreSQL, dbMSSQL };

class TDBProvider {
 public:
  // Copies GConfigManager's record and makes the settings of the system
  // DBType names. Raises DBError "DBProvider.Create falhou: ..." on an
  // invalid type or incomplete settings. Never connects and loads no
  // client library. REQUIRES: GConfigManager set.
  TDBProvider();
  // Disconnects when connected.
  ~TDBProvider();
  TDBProvider(const TDBProvider&) = delete;
  TDBProvider& operator=(const TDBProvider&) = delete;

  // The connection, connected first when it is not. Raises DBError
  // "DBProvider.GetConnection: falha ao conectar ..." when it cannot
  // connect; the next call tries again. The connection belongs to this
  // object.
  TDBConnection* GetConnection();

  TDBSystem System() const { return FSystem; }
  const TDBSettings& Settings() const { return FSettings; }

 private:
  void ConfigFirebird();
  void ConfigMySQL();
  void ConfigPostgreSQL();
  void ConfigMSSQL();

  TSincConfig FConfig;
  TDBSystem FSystem = dbFirebird;
  TDBSettings FSettings;
  std::unique_ptr<TDBConnection> FConnection;
};

}  // namespace lumacor

#endif  // LUMACOR_COLLECT_DBPROVIDER_H_
