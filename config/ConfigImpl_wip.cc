// Temporary: replaced by the full configuration loader.
#include "config/Config.h"
#include "common/Text.h"
#include "log/Logger.h"
namespace lumacor {
TConfigManager::TConfigManager(Process* process, FileSystem* fs) : process_(process), fs_(fs) {}
bool TConfigManager::IsValid() {
  if (FConfig.CNPJ.empty() || FConfig.TokenEmpresa.empty() || FConfig.EndpointAPI.empty()) return false;
  if (IsModoPasta(FConfig.ModoColeta)) return !TrimControl(FConfig.XMLPaths).empty();
  if (FConfig.DBName.empty()) return false;
  return !GetSQL().empty();
}
std::string TConfigManager::GetSQL() {
  std::string p = TrimControlCopy(FConfig.SQLFile);
  if (p.empty()) return FConfig.SQLColeta;
  if (!fs_->FileExists(p)) {
    LogWarning("sql_file nao encontrado: " + p + ". Usando sql= inline.");
    return FConfig.SQLColeta;
  }
  std::string bytes = fs_->ReadFile(p);
  if (bytes.rfind(kUtf8Bom, 0) == 0) bytes.erase(0, 3);
  return TrimControlCopy(RequireUtf8(bytes));
}
}  // namespace lumacor
