// The agent's configuration: one INI file, Marlux.ini, read once at start-up.
#ifndef LUMACOR_CONFIG_CONFIG_H_
#define LUMACOR_CONFIG_CONFIG_H_

#include <cstdint>
#include <string>

#include "platform/FileSystem.h"
#include "platform/Process.h"

namespace lumacor {

// Every configuration value, in the order Load fills them.
struct TSincConfig {
  std::string CNPJ;
  std::string TokenEmpresa;
  std::string EndpointAPI;
  std::string ModoColeta;
  std::string XMLPaths;
  bool XMLRecursive = false;
  std::string DBType;
  std::string DBHost;
  int32_t DBPort = 0;
  std::string DBName;
  std::string DBUser;
  std::string DBPass;
  std::string DBClientPath;
  std::string SQLFile;
  std::string SQLColeta;
  int32_t IntervaloSegundos = 0;
  int32_t MaxTentativas = 0;
  std::string LogPath;
  std::string SQLitePath;
  int32_t LogMaxMB = 0;
  int32_t LogRetencaoDias = 0;
  int32_t LogMaxBackups = 0;
  bool LogIgnorados = false;
  // Whether documents of SEFAZ's test environment (tpAmb 2) are sent too.
  bool EnviarHomologacao = false;
  // [banco] confiar_certificado: SQL Server's certificate is taken unchecked.
  bool DBConfiarCertificado = true;
  // Largest document file read, in MiB; 0 or less means the default, 64.
  // Real NF-e are under 1 MiB: anything far larger is not one, and must
  // not be held in memory whole.
  int32_t XMLMaxMB = 0;
  // [COLETA] verificar_lacunas: the numbering of the company's own
  // documents is checked for gaps.
  bool VerificarLacunas = true;
  // [COLETA] lacunas_atraso_dias: a gap is reported once the newest
  // document is this many days newer, for an ERP that exports late.
  int32_t LacunasAtrasoDias = 0;
};

inline constexpr int32_t kXMLMaxMBPadrao = 64;

// True when `modo` selects folder collection: "pasta" in any ASCII case.
bool IsModoPasta(const std::string& modo);

class TConfigManager {
 public:
  // Locates Marlux.ini and loads it. Raises when a path value is invalid
  // ("Invalid characters in path", "The specified path is too long").
  explicit TConfigManager(Process* process = Process::Default(),
                          FileSystem* fs = FileSystem::Default());

  // A manager holding a ready record, for tests and tools; `ini_path` is
  // what FIniPath would be.
  TConfigManager(const TSincConfig& config, std::string ini_path,
                 FileSystem* fs = FileSystem::Default());

  TConfigManager(const TConfigManager&) = delete;
  TConfigManager& operator=(const TConfigManager&) = delete;

  // A copy of the whole record.
  TSincConfig Config() const { return FConfig; }
  const std::string& IniPath() const { return FIniPath; }

  // Whether a cycle may collect. May log a warning and may raise through
  // GetSQL.
  bool IsValid();

  // The keys that make IsValid false, with their sections, as one text
  // ("[API] cnpj, [XML] paths"); never their values. May log and raise as
  // IsValid does.
  std::string ChavesAusentes();

  // The collection SQL: from the SQL file when one is configured (read anew
  // at every call), else the inline value.
  std::string GetSQL();

 private:
  std::string Join(const std::string& a, const std::string& b) const;
  std::string GetDataDir();
  std::string GetIniPath();
  std::string ResolvePath(const std::string& value);
  void Load();

  Process* process_;
  FileSystem* fs_;
  std::string FIniPath;
  TSincConfig FConfig;
};

// The process's configuration; created first at start-up, read-only after.
extern TConfigManager* GConfigManager;

}  // namespace lumacor

#endif  // LUMACOR_CONFIG_CONFIG_H_
