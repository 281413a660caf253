#include "service/Reenvio.h"

#include "common/Error.h"
#include "common/Text.h"
#include "log/Logger.h"
#include "queue/HashService.h"
#include "queue/SqliteApi.h"

namespace lumacor {

namespace {

// The line of a request that means every failure.
constexpr const char* kTodas = "*";

std::string Linha(int n, const std::string& motivo) {
  return Format("%d documentos em falha definitiva voltaram para pendente (%s).", n,
                motivo.c_str());
}

std::vector<std::string> Linhas(const std::string& texto) {
  std::vector<std::string> out;
  size_t inicio = 0;
  while (inicio <= texto.size()) {
    size_t fim = texto.find('\n', inicio);
    if (fim == std::string::npos) fim = texto.size();
    std::string l = TrimControlCopy(std::string_view(texto).substr(inicio, fim - inicio));
    if (!l.empty()) out.push_back(l);
    inicio = fim + 1;
  }
  return out;
}

}  // namespace

std::string ImpressaoConfigEnvio(const TSincConfig& cfg) {
  // Separated by NULs, which none of the three can hold, so that moving
  // characters from one value to the next changes the fingerprint.
  std::string dados = cfg.EndpointAPI;
  dados += '\0';
  dados += cfg.CNPJ;
  dados += '\0';
  dados += cfg.TokenEmpresa;
  return THashService::SHA256(dados);
}

int ReenfileirarSeConfigMudou(TLocalQueue& Queue, const TSincConfig& cfg) {
  // An incomplete configuration sends nothing: no change to act on yet.
  if (cfg.EndpointAPI.empty() || cfg.CNPJ.empty() || cfg.TokenEmpresa.empty()) return 0;
  std::string atual = ImpressaoConfigEnvio(cfg);
  std::optional<std::string> anterior = Queue.LerImpressaoConfig();
  if (anterior && *anterior == atual) return 0;
  int n = 0;
  if (anterior) {
    n = Queue.Reenfileirar({});
    if (n > 0) LogInfo(Linha(n, "endpoint, CNPJ ou token alterado desde a ultima execucao"));
  }
  Queue.GravarImpressaoConfig(atual);
  return n;
}

std::string CaminhoPedidoReenvio(const TSincConfig& cfg) {
  std::string pasta = FolderOf(cfg.SQLitePath);
  return (pasta.empty() ? "" : pasta + FileSystem::Default()->Separator()) + "reenviar.pedido";
}

void GravarPedidoReenvio(const std::string& Caminho, const std::vector<std::string>& Chaves,
                         FileSystem* fs) {
  std::string texto;
  if (fs->FileExists(Caminho)) texto = fs->ReadFile(Caminho);
  if (!texto.empty() && texto.back() != '\n') texto += '\n';
  if (Chaves.empty()) texto += std::string(kTodas) + "\n";
  for (const std::string& c : Chaves) texto += c + "\n";
  fs->WriteFileReplace(Caminho, texto);
}

int AplicarPedidoReenvio(TLocalQueue& Queue, const std::string& Caminho, FileSystem* fs) {
  // Taken out of the way first: a /reenviar made meanwhile writes a new
  // request for the next cycle instead of adding to one being removed.
  std::string aplicando = Caminho + ".aplicando";
  if (!fs->FileExists(aplicando)) {
    if (!fs->FileExists(Caminho)) return -1;
    fs->RenameNoReplace(Caminho, aplicando);
  }
  std::vector<std::string> chaves = Linhas(fs->ReadFile(aplicando));
  bool todas = chaves.empty();
  for (const std::string& c : chaves) todas = todas || c == kTodas;
  int n = Queue.Reenfileirar(todas ? std::vector<std::string>{} : chaves);
  fs->DeleteFile(aplicando);
  LogInfo(Linha(n, todas
                       ? "pedido /reenviar de todas"
                       : Format("pedido /reenviar de %d chaves", static_cast<int>(chaves.size()))));
  return n;
}

int ComandoReenviar(const std::vector<std::string>& Chaves, void (*saida)(const std::string&),
                    FileSystem* fs) {
  TSincConfig cfg = GConfigManager->Config();
  if (!fs->FileExists(cfg.SQLitePath)) {
    saida("Fila local não encontrada: " + cfg.SQLitePath);
    return 1;
  }
  std::string motivo =
      Chaves.empty() ? std::string("pedido /reenviar de todas")
                     : Format("pedido /reenviar de %d chaves", static_cast<int>(Chaves.size()));
  try {
    TLocalQueue queue(cfg.SQLitePath, fs);
    int n = queue.Reenfileirar(Chaves);
    LogInfo(Linha(n, motivo));
    saida(Format("%d documentos voltaram para pendente; serão enviados no próximo ciclo.", n));
    return 0;
  } catch (const SqliteError& e) {
    if ((e.code() & 0xff) != kSqliteBusy) throw;
  }
  // The running agent holds the queue: it applies the request itself.
  std::string pedido = CaminhoPedidoReenvio(cfg);
  GravarPedidoReenvio(pedido, Chaves, fs);
  saida("O agente em execução reenfileira no início do próximo ciclo (pedido em " + pedido + ").");
  return 0;
}

}  // namespace lumacor
