#include "config/Config.h"

#include <stdexcept>

#include "common/Text.h"
#include "config/IniFile.h"
#include "log/Logger.h"

namespace lumacor {

TConfigManager* GConfigManager = nullptr;

namespace {

constexpr const char* kIniName = "Marlux.ini";
// The default endpoint when the file does not name one.
constexpr const char* kDefaultEndpoint = "http://localhost:8000/api";

bool IsRooted(const std::string& v) {
  if (v.empty()) return false;
  if (v[0] == '\\' || v[0] == '/') return true;
  if (v.size() >= 2 && v[1] == ':') return true;
  return v.rfind("\\\\?\\", 0) == 0;
}

bool HasInvalidPathChars(const std::string& v) {
  for (char c : v) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || c == '"' || c == '<' || c == '>' || c == '|') return true;
  }
  return false;
}

// Reads one key per call, re-reading the file each time, as the profile
// reader does: nothing is cached between keys.
class ProfileReader {
 public:
  ProfileReader(FileSystem* fs, std::string path) : fs_(fs), path_(std::move(path)) {}

  std::string ReadString(const char* section, const char* key, const std::string& def) {
    auto v = Lookup(section, key);
    return v ? *v : def;
  }

  int32_t ReadInteger(const char* section, const char* key, int32_t def) {
    auto v = Lookup(section, key);
    if (!v) return def;
    auto n = ParseIniInteger(*v);
    return n ? *n : def;
  }

  bool ReadBool(const char* section, const char* key, bool def) {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
  }

 private:
  std::optional<std::string> Lookup(const char* section, const char* key) {
    std::string bytes;
    try {
      bytes = fs_->ReadFile(path_);
    } catch (const PlatformError&) {
      return std::nullopt;  // an unreadable file reads like a missing one
    }
    return FindIniValue(DecodeIniBytes(bytes), section, key);
  }

  FileSystem* fs_;
  std::string path_;
};

}  // namespace

bool IsModoPasta(const std::string& modo) { return EqualsIgnoreAsciiCase(modo, "pasta"); }

TConfigManager::TConfigManager(Process* process, FileSystem* fs) : process_(process), fs_(fs) {
  FIniPath = GetIniPath();
  Load();
}

TConfigManager::TConfigManager(const TSincConfig& config, std::string ini_path, FileSystem* fs)
    : process_(Process::Default()), fs_(fs), FIniPath(std::move(ini_path)), FConfig(config) {}

std::string TConfigManager::Join(const std::string& a, const std::string& b) const {
  if (IsRooted(b)) return b;
  if (a.empty()) return b;
  if (b.empty()) return a;
  char last = a.back();
  if (last == '\\' || last == '/' || last == ':') return a + b;
  return a + fs_->Separator() + b;
}

std::string TConfigManager::GetDataDir() {
  std::string joined = Join(process_->GetEnv("ProgramData"), "Lumacor");
  if (joined == "Lumacor") return FolderOf(process_->ExecutablePath());
  return joined;
}

std::string TConfigManager::GetIniPath() {
  std::string candidate = Join(FolderOf(process_->ExecutablePath()), kIniName);
  if (fs_->FileExists(candidate)) return candidate;
  return Join(GetDataDir(), kIniName);
}

std::string TConfigManager::ResolvePath(const std::string& value) {
  if (TrimControl(value).empty()) return "";
  if (HasInvalidPathChars(value)) throw std::runtime_error("Invalid characters in path");
  if (IsRooted(value)) return value;
  std::string relative = value;
  // Files written on Windows use "\"; read it as this platform's separator.
  if (fs_->Separator() == '/') {
    for (char& c : relative) {
      if (c == '\\') c = '/';
    }
  }
  std::string joined = Join(FolderOf(FIniPath), relative);
  if (Utf16Length(joined) >= fs_->MaxPath()) {
    throw std::runtime_error("The specified path is too long");
  }
  return fs_->FullPath(joined);
}

void TConfigManager::Load() {
  FConfig = TSincConfig{};
  const std::string sep(1, fs_->Separator());
  const std::string default_log = Join(GetDataDir(), "logs" + sep + "sinc.log");
  const std::string default_queue = Join(GetDataDir(), "config" + sep + "queue.db");

  if (!fs_->FileExists(FIniPath)) {
    FConfig.IntervaloSegundos = 60;
    FConfig.MaxTentativas = 5;
    FConfig.LogPath = default_log;
    FConfig.SQLitePath = default_queue;
    FConfig.LogMaxMB = 20;
    FConfig.LogRetencaoDias = 30;
    FConfig.LogMaxBackups = 10;
    FConfig.LogIgnorados = false;
    FConfig.XMLMaxMB = kXMLMaxMBPadrao;
    return;
  }

  ProfileReader ini(fs_, FIniPath);
  // A fallback key is read first; its result is the preferred key's default.
  auto str = [&](const char* s, const char* k, const char* fs, const char* fk,
                 const std::string& def) {
    return ini.ReadString(s, k, ini.ReadString(fs, fk, def));
  };
  auto& c = FConfig;
  c.CNPJ = str("API", "cnpj", "empresa", "cnpj", "");
  c.TokenEmpresa = str("API", "token_contador", "empresa", "token", "");
  c.EndpointAPI = str("API", "endpoint_contador", "empresa", "endpoint_api", kDefaultEndpoint);
  c.DBType = str("Database", "SGBD", "banco", "tipo", "firebird");
  c.DBHost = str("Database", "Server", "banco", "host", "127.0.0.1");
  c.DBPort = ini.ReadInteger("Database", "Porta", ini.ReadInteger("banco", "porta", 3050));
  c.DBName = str("Database", "Database", "banco", "nome", "");
  c.DBUser = str("Database", "User", "banco", "usuario", "");
  c.DBPass = str("Database", "Pass", "banco", "senha", "");
  c.DBClientPath = str("Database", "VendorLib", "banco", "client_path", "");
  c.DBConfiarCertificado = ini.ReadBool("banco", "confiar_certificado", true);
  c.SQLFile = ResolvePath(ini.ReadString("COLETA", "sql_file", ""));
  c.ModoColeta = ini.ReadString("COLETA", "modo", "banco");
  c.XMLPaths = ini.ReadString("XML", "paths", "");
  c.XMLRecursive = ini.ReadBool("XML", "recursive", true);
  c.SQLColeta = ini.ReadString("COLETA", "sql", "");
  c.IntervaloSegundos = ini.ReadInteger("COLETA", "intervalo_segundos", 60);
  c.MaxTentativas = ini.ReadInteger("COLETA", "max_tentativas", 5);
  c.LogPath = ResolvePath(str("LOG", "path", "interno", "log_path", default_log));
  c.SQLitePath = ResolvePath(str("FILA", "sqlite_path", "interno", "sqlite_path", default_queue));
  c.LogMaxMB = ini.ReadInteger("LOG", "max_mb", 20);
  c.LogRetencaoDias = ini.ReadInteger("LOG", "retencao_dias", 30);
  c.LogMaxBackups = ini.ReadInteger("LOG", "max_backups", 10);
  c.LogIgnorados = ini.ReadBool("LOG", "log_ignorados", false);
  c.EnviarHomologacao = ini.ReadBool("COLETA", "enviar_homologacao", false);
  c.XMLMaxMB = ini.ReadInteger("XML", "tamanho_maximo_mb", kXMLMaxMBPadrao);
  c.VerificarLacunas = ini.ReadBool("COLETA", "verificar_lacunas", true);
  c.LacunasAtrasoDias = ini.ReadInteger("COLETA", "lacunas_atraso_dias", 0);
}

bool TConfigManager::IsValid() {
  if (FConfig.CNPJ.empty() || FConfig.TokenEmpresa.empty() || FConfig.EndpointAPI.empty()) {
    return false;
  }
  if (IsModoPasta(FConfig.ModoColeta)) return !TrimControl(FConfig.XMLPaths).empty();
  if (FConfig.DBName.empty()) return false;
  return !GetSQL().empty();
}

std::string TConfigManager::ChavesAusentes() {
  std::string out;
  auto faltando = [&out](const char* chave) {
    out += (out.empty() ? "" : ", ") + std::string(chave);
  };
  // Named by their preferred keys; the fallback keys of [empresa] and
  // [banco] work as well.
  if (FConfig.CNPJ.empty()) faltando("[API] cnpj");
  if (FConfig.TokenEmpresa.empty()) faltando("[API] token_contador");
  if (FConfig.EndpointAPI.empty()) faltando("[API] endpoint_contador");
  if (IsModoPasta(FConfig.ModoColeta)) {
    if (TrimControl(FConfig.XMLPaths).empty()) faltando("[XML] paths");
  } else {
    if (FConfig.DBName.empty()) faltando("[banco] nome");
    // GetSQL's warning for a missing sql_file came with IsValid already.
    std::string arquivo = TrimControlCopy(FConfig.SQLFile);
    bool sem_sql =
        arquivo.empty() || !fs_->FileExists(arquivo) ? FConfig.SQLColeta.empty() : GetSQL().empty();
    if (sem_sql) faltando("[COLETA] sql ou sql_file");
  }
  return out;
}

std::string TConfigManager::GetSQL() {
  std::string p = TrimControlCopy(FConfig.SQLFile);
  if (p.empty()) return FConfig.SQLColeta;
  if (!fs_->FileExists(p)) {
    LogWarning("sql_file nao encontrado: " + p + ". Usando sql= inline.");
    return FConfig.SQLColeta;
  }
  std::string bytes = fs_->ReadFile(p);
  std::string_view body = bytes;
  if (body.substr(0, 3) == kUtf8Bom) body.remove_prefix(3);
  if (!IsValidUtf8(body)) throw EncodingError();
  return TrimControlCopy(body);
}

}  // namespace lumacor
