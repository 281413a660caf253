// What the operator sees without stopping the agent: status.json and
// status.html beside the queue file, written at start, at the start and end
// of every cycle and at stop, and the terminal summary of /status read back
// from status.json.
#ifndef LUMACOR_SERVICE_STATUSREPORT_H_
#define LUMACOR_SERVICE_STATUSREPORT_H_

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "config/Config.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "queue/Lacunas.h"
#include "queue/LocalQueue.h"

namespace lumacor {

// How a cycle ended; the texts are those of status.json.
inline constexpr const char* kCicloConcluido = "concluido";
inline constexpr const char* kCicloConfigInvalida = "configuracao_invalida";
inline constexpr const char* kCicloErroColeta = "erro_coleta";
inline constexpr const char* kCicloPortalIndisponivel = "portal_indisponivel";
inline constexpr const char* kCicloErro = "erro";  // an error left the cycle

struct TResumoCiclo {
  int64_t Inicio = 0;  // Unix seconds (UTC); 0: no cycle yet
  int64_t Fim = 0;
  int64_t DuracaoMs = 0;
  int Coletados = 0;
  int Enviados = 0;
  int Falhas = 0;
  std::string Desfecho;  // one of the kCiclo* texts
  std::string Mensagem;  // the error, or the missing keys; "" otherwise
};

// The agent's state as the status files hold it. Times are Unix seconds
// (UTC), 0 when unknown.
struct TStatusAgente {
  std::string Versao;
  std::string Estado;  // "iniciado", "em_ciclo", "aguardando", "parado"
  int64_t GeradoEm = 0;
  int64_t IniciadoEm = 0;
  int32_t IntervaloSegundos = 0;
  std::string IniPath;
  std::string Modo;    // "pasta" or "banco"
  std::string Fontes;  // the folders, or database type, host and name
  std::string FilaPath;
  std::string LogPath;
  TResumoCiclo UltimoCiclo;
  int64_t ProximoCiclo = 0;
  // The queue figures; ErroFila holds why they could not be read.
  TResumoFila Fila;
  std::string ErroFila;
  int64_t PendenteMaisAntigo = 0;
  int64_t UltimoEnvio = 0;
  // Why the log cannot be written; "" while it can.
  std::string ErroLog;
  // The numbering check: the first kMaxFaixasNoStatus gap ranges (of
  // FaixasLacunas) and the first kMaxFaixasNoStatus keys with a wrong
  // check digit (of TotalChavesInvalidas).
  bool VerificaLacunas = false;
  std::vector<TLacunasSerie> Lacunas;
  int64_t FaixasLacunas = 0;
  std::vector<std::string> ChavesInvalidas;
  int64_t TotalChavesInvalidas = 0;
};

inline constexpr size_t kMaxFaixasNoStatus = 50;

// Where the status files go: the folder of the queue file.
std::string PastaStatus(const TSincConfig& cfg);
inline constexpr const char* kStatusJson = "status.json";
inline constexpr const char* kStatusHtml = "status.html";
// The full gap list, beside them, for /lacunas.
inline constexpr const char* kLacunasTxt = "lacunas.txt";

// Keeps in `s` what the status files show of `v`: the first ranges and
// keys, and their totals.
void ResumirNumeracao(const TVerificacaoNumeracao& v, bool VerificaLacunas, TStatusAgente& s);

// The lines of the full list: every range of every series, then every key
// with a wrong check digit.
std::vector<std::string> ListaLacunas(const TVerificacaoNumeracao& v, bool VerificaLacunas);

// /lacunas: prints, line by line through `saida`, the list the agent last
// wrote in `pasta`. Returns 0, or 1 when there is no readable list.
int ComandoLacunas(const std::string& pasta, FileSystem* fs, void (*saida)(const std::string&));

// The sources of `cfg` for a person: folders, or database type, host, port
// and name. Never a user, password or token.
std::string DescreverFontes(const TSincConfig& cfg);

// "YYYY-MM-DD HH:MM:SS" in UTC (SQLite's CURRENT_TIMESTAMP) as Unix
// seconds; 0 for "" or a text of another form.
int64_t SegundosDeDataSqlite(const std::string& utc);

// A status is stale when older than three intervals (at least 60 s each):
// the agent stopped writing it.
bool StatusVencido(const TStatusAgente& s, int64_t agora);

// "OK", "Atenção" or "Parado" as of `agora`.
std::string Semaforo(const TStatusAgente& s, int64_t agora);

std::string StatusParaJson(const TStatusAgente& s);
// Raises std::runtime_error when `json` is not a status file.
TStatusAgente StatusDeJson(const std::string& json);

// The self-contained page; local times through `clock`.
std::string StatusParaHtml(const TStatusAgente& s, Clock* clock);

// The /status summary, lines for the terminal.
std::vector<std::string> ResumoTerminal(const TStatusAgente& s, int64_t agora, Clock* clock);

// The /status exit code: 0 when the last cycle completed and the status is
// recent, 1 otherwise.
int CodigoSaidaStatus(const TStatusAgente& s, int64_t agora);

// Writes both files in `pasta`, each replaced whole. Raises PlatformError.
void GravarStatus(const TStatusAgente& s, const std::string& pasta, FileSystem* fs, Clock* clock);

// Keeps the status of one agent run and writes the files on each change.
// A write that fails is logged once (Warning) until one succeeds again;
// it never stops the agent.
class TRelatorioStatus {
 public:
  // `fs` and `clock` are not owned.
  TRelatorioStatus(const TSincConfig& cfg, std::string IniPath,
                   FileSystem* fs = FileSystem::Default(), Clock* clock = Clock::Default());

  // Each writes the files with the queue's figures (`Queue` may be null:
  // the figures of the last write are kept). The cycle's start keeps them
  // too, so the queue is counted once a cycle.
  void Iniciado(TLocalQueue* Queue);
  void CicloIniciado();
  void CicloTerminado(TLocalQueue* Queue, bool SemEspera = false);
  void Parado(TLocalQueue* Queue);

  // The cycle under way, for the runner to fill in.
  TResumoCiclo& Ciclo() { return FCiclo; }
  const TStatusAgente& Status() const { return FStatus; }

 private:
  int64_t Agora();
  void Gravar(TLocalQueue* Queue);
  // Checks the numbering from the queue's identifiers: writes the full
  // list, logs the gaps once a local day and each key with a wrong check
  // digit once. The keys already queued when the agent starts were
  // reported by the run that collected them: they are only remembered.
  void VerificarNumeracao(TLocalQueue* Queue);

  FileSystem* fs_;
  Clock* clock_;
  std::string FPasta;
  TStatusAgente FStatus;
  TResumoCiclo FCiclo;
  Clock::TimePoint FInicioCiclo{};
  bool FFalhaAvisada = false;
  std::string FCNPJ;
  bool FVerificarLacunas = true;
  int32_t FLacunasAtrasoDias = 0;
  int FDiaLacunas = -1;  // local yyyymmdd of the last daily gap lines
  bool FChavesLidas = false;
  // The last check, its lines for the full list, and the queue's highest
  // id when it was made (-1: none yet).
  TVerificacaoNumeracao FVerificacao;
  std::string FListaLacunas;
  int64_t FUltimoIDVerificado = -1;
  std::set<std::string> FChavesAvisadas;
};

}  // namespace lumacor

#endif  // LUMACOR_SERVICE_STATUSREPORT_H_
