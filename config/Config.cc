#include "config/Config.h"

#include "common/Text.h"

namespace lumacor {

TConfigManager* GConfigManager = nullptr;

bool IsModoPasta(const std::string& modo) { return EqualsIgnoreAsciiCase(modo, "pasta"); }

TConfigManager::TConfigManager(const TSincConfig& config, std::string ini_path, FileSystem* fs)
    : process_(Process::Default()), fs_(fs), FIniPath(std::move(ini_path)), FConfig(config) {}

}  // namespace lumacor
