#include "service/WinService.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>

#include "collect/DBDriver.h"
#include "common/Error.h"
#include "common/Text.h"
#include "common/Version.h"
#include "config/Config.h"
#include "log/Logger.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "service/Reenvio.h"
#include "service/StatusReport.h"
#include "service/SyncRunner.h"

namespace lumacor {

std::atomic<StopEvent*> GStopEvent{nullptr};
TSyncRunner* GSyncRunner = nullptr;
TServiceStatus GServiceStatus;
ServiceStatusHandle GServiceStatusHandle = 0;

namespace {

constexpr uint32_t kRemovePauseMs = 1000;
constexpr uint32_t kWaitHintMs = 5000;
constexpr int32_t kDefaultIntervalSeconds = 60;
// The largest finite wait; one more would mean "forever" on Windows.
constexpr int64_t kMaxWaitMs = 0xFFFFFFFEll;

// A stop request that came before the stop event existed; honoured as soon
// as the event is created, so a stop during start-up is not lost.
std::atomic<bool> g_stop_requested{false};

StopEvent* CreateStopEvent() {
  auto* ev = new StopEvent;
  GStopEvent = ev;
  if (g_stop_requested) ev->Set();
  return ev;
}

void ReleaseStopEvent() {
  StopEvent* ev = GStopEvent.exchange(nullptr);
  delete ev;
}

void ReleaseSyncRunner() {
  TSyncRunner* r = GSyncRunner;
  GSyncRunner = nullptr;
  delete r;
}

// Runs one cycle after every interval until the stop event is signalled or
// the wait fails. The interval is read anew before every wait; while a
// backlog drains, the next cycle follows at once (a stop still ends the
// loop: the wait of 0 ms sees it).
template <typename RunCycle>
void IntervalLoop(RunCycle run_cycle) {
  for (;;) {
    bool sem_espera = GSyncRunner != nullptr && GSyncRunner->ContinuarSemEspera();
    uint32_t ms = sem_espera ? 0 : IntervaloMs(GConfigManager->Config().IntervaloSegundos);
    if (GStopEvent.load()->Wait(ms) != WaitResult::kTimeout) break;
    run_cycle();
  }
}

// Why the sync runner could not be made; call only inside a catch block.
// The database settings are checked when the runner is made, before any
// connection, so their errors are the configuration's; so is a blank
// sqlite_path=. Anything else (the queue's disk not mounted yet) may pass.
uint32_t RunnerFailureCode() {
  try {
    throw;
  } catch (const DBError&) {
    return kServiceConfigInvalid;
  } catch (...) {
    bool blank_queue_path = TrimControl(GConfigManager->Config().SQLitePath).empty();
    return blank_queue_path ? kServiceConfigInvalid : kServiceStartFailed;
  }
}

// Console mode's stop request (a signal, Ctrl+C): the same effect as the
// service's, without a status to report.
void ConsoleStopHandler(uint32_t) {
  g_stop_requested = true;
  if (StopEvent* ev = GStopEvent.load()) ev->Set();
}

void WriteOutput(const std::string& text) { ServiceControl::Default()->WriteOutput(text); }

// What the operator needs to find this run's files, right after start.
void LogStartUp() {
  TSincConfig cfg = GConfigManager->Config();
  GLogger->Info("Lumacor Relay " + std::string(kVersion) +
                " | Marlux.ini: " + GConfigManager->IniPath() +
                " | modo: " + (IsModoPasta(cfg.ModoColeta) ? "pasta" : "banco") +
                " | fila: " + cfg.SQLitePath + " | log: " + cfg.LogPath);
  if (cfg.IntervaloSegundos == 0) {
    GLogger->Warning("intervalo_segundos=0: os ciclos rodam seguidos, sem pausa entre eles.");
  }
}

// /status: the summary of status.json, which the running agent keeps.
int StatusCommand() {
  TSincConfig cfg = GConfigManager->Config();
  FileSystem* fs = FileSystem::Default();
  std::string pasta = PastaStatus(cfg);
  std::string path = (pasta.empty() ? "" : pasta + fs->Separator()) + kStatusJson;
  if (!fs->FileExists(path)) {
    WriteOutput("Status não encontrado: " + path + " (o agente já rodou com este Marlux.ini?)");
    return 1;
  }
  TStatusAgente status;
  try {
    status = StatusDeJson(fs->ReadFile(path));
  } catch (...) {
    WriteOutput("Status ilegível em " + path + ": " + CurrentErrorMessage());
    return 1;
  }
  Clock* clock = Clock::Default();
  int64_t agora =
      std::chrono::duration_cast<std::chrono::seconds>(clock->Now().time_since_epoch()).count();
  for (const std::string& l : ResumoTerminal(status, agora, clock)) WriteOutput(l);
  WriteOutput("Página: " + (pasta.empty() ? "" : pasta + fs->Separator()) + kStatusHtml);
  return CodigoSaidaStatus(status, agora);
}

// /lacunas: the full gap list the running agent writes beside status.json.
int LacunasCommand() {
  return ComandoLacunas(PastaStatus(GConfigManager->Config()), FileSystem::Default(), WriteOutput);
}

// /reenviar [CHAVE ...]
int ReenviarCommand(const std::vector<std::string>& chaves) {
  CheckSQLiteDll();
  TSincConfig cfg = GConfigManager->Config();
  GLogger = new TLogger(cfg.LogPath, cfg.LogMaxMB, cfg.LogRetencaoDias, cfg.LogMaxBackups);
  return ComandoReenviar(chaves, WriteOutput);
}

void RunConsole() {
  ServiceControl* sc = ServiceControl::Default();
  sc->WatchConsoleStop(ConsoleStopHandler);
  struct Unwatch {
    ServiceControl* sc;
    ~Unwatch() { sc->UnwatchConsoleStop(); }
  } unwatch{sc};
  ConsoleWriteLine("Rodando em modo console/debug...");
  CheckSQLiteDll();
  TSincConfig cfg = GConfigManager->Config();
  GLogger = new TLogger(cfg.LogPath, cfg.LogMaxMB, cfg.LogRetencaoDias, cfg.LogMaxBackups);
  GLogger->Info("Rodando como processo console.");
  LogStartUp();
  try {
    GSyncRunner = new TSyncRunner(CreateStopEvent());
    IntervalLoop([] { GSyncRunner->Executar(); });
  } catch (...) {
    ReleaseSyncRunner();
    ReleaseStopEvent();
    throw;
  }
  ReleaseSyncRunner();
  ReleaseStopEvent();
}

}  // namespace

uint32_t IntervaloMs(int32_t IntervaloSegundos) {
  int64_t secs = IntervaloSegundos < 0 ? kDefaultIntervalSeconds : IntervaloSegundos;
  int64_t ms = secs * 1000;
  return static_cast<uint32_t>(ms > kMaxWaitMs ? kMaxWaitMs : ms);
}

void CheckSQLiteDll() {
  std::string lib = SqliteLibraryFileName();
  if (lib.empty()) return;  // SQLite is linked in: no file to look for
  std::string exe = Process::Default()->ExecutablePath();
  size_t pos = exe.find_last_of("\\/");
  std::string dir = pos == std::string::npos ? "" : exe.substr(0, pos + 1);
  if (FileSystem::Default()->FileExists(dir + lib)) return;
  throw std::runtime_error("sqlite3.dll não encontrada em: " + dir +
                           "\r\nCopie a sqlite3.dll (32-bit) para a pasta do executável.");
}

void ConsoleWriteLine(const std::string& Text) {
  ServiceControl::Default()->ConsoleWriteLine(Text);
}

void TWinServiceRunner::ReportServiceStatus(uint32_t State, uint32_t FailureCode) {
  GServiceStatus.CurrentState = State;
  GServiceStatus.Win32ExitCode = FailureCode != 0 ? kErrorServiceSpecificError : kNoError;
  GServiceStatus.ServiceSpecificExitCode = FailureCode;
  GServiceStatus.CheckPoint = 0;
  GServiceStatus.WaitHint = kWaitHintMs;
  ServiceControl::Default()->SetStatus(GServiceStatusHandle, GServiceStatus);
}

void ServiceCtrlHandler(uint32_t control) {
  if (control != kServiceControlStop && control != kServiceControlShutdown) return;
  TWinServiceRunner::ReportServiceStatus(kServiceStopPending);
  g_stop_requested = true;
  if (StopEvent* ev = GStopEvent.load()) ev->Set();
}

void ServiceMain(int, char**) {
  GServiceStatusHandle =
      ServiceControl::Default()->RegisterHandler(kServiceName, ServiceCtrlHandler);
  if (GServiceStatusHandle == 0) return;
  GServiceStatus.ServiceType = kServiceWin32OwnProcess;
  GServiceStatus.ControlsAccepted = kServiceAcceptStop | kServiceAcceptShutdown;
  TWinServiceRunner::ReportServiceStatus(kServiceStartPending);

  try {
    CheckSQLiteDll();
    TSincConfig cfg = GConfigManager->Config();
    GLogger = new TLogger(cfg.LogPath, cfg.LogMaxMB, cfg.LogRetencaoDias, cfg.LogMaxBackups);
  } catch (...) {
    // No logger yet: the failed state is all that can be reported.
    TWinServiceRunner::ReportServiceStatus(kServiceStopped, kServiceStartFailed);
    return;
  }

  StopEvent* stop = CreateStopEvent();
  try {
    GSyncRunner = new TSyncRunner(stop);
  } catch (...) {
    uint32_t code = RunnerFailureCode();
    GLogger->Error("Falha ao inicializar SyncRunner: " + CurrentErrorMessage());
    ReleaseStopEvent();
    TWinServiceRunner::ReportServiceStatus(kServiceStopped, code);
    return;
  }

  TWinServiceRunner::ReportServiceStatus(kServiceRunning);
  GLogger->Info("Serviço Lumacor iniciado.");
  LogStartUp();
  IntervalLoop([] {
    try {
      GSyncRunner->Executar();
    } catch (...) {
      GLogger->Error("Erro no ciclo do serviço: " + CurrentErrorMessage());
    }
  });
  TWinServiceRunner::ReportServiceStatus(kServiceStopPending);
  ReleaseSyncRunner();
  ReleaseStopEvent();
  GLogger->Info("Serviço Lumacor parado.");
  TWinServiceRunner::ReportServiceStatus(kServiceStopped);
}

int TWinServiceRunner::Run(const std::vector<std::string>& args) {
  std::string first = args.empty() ? "" : args[0];
  ServiceControl* sc = ServiceControl::Default();
  if (EqualsIgnoreAsciiCase(first, "/install")) {
    sc->InstallService(kServiceName, kServiceDisplayName, Process::Default()->ExecutablePath());
    return 0;
  }
  if (EqualsIgnoreAsciiCase(first, "/remove")) {
    sc->RemoveService(kServiceName, kRemovePauseMs);
    return 0;
  }
  if (EqualsIgnoreAsciiCase(first, "/status")) return StatusCommand();
  if (EqualsIgnoreAsciiCase(first, "/lacunas")) return LacunasCommand();
  if (EqualsIgnoreAsciiCase(first, "/reenviar")) {
    return ReenviarCommand(std::vector<std::string>(args.begin() + 1, args.end()));
  }
  if (sc->StartDispatcher(kServiceName, ServiceMain)) {
    return GServiceStatus.Win32ExitCode == kNoError
               ? 0
               : static_cast<int>(GServiceStatus.ServiceSpecificExitCode);
  }
  RunConsole();
  return 0;
}

bool IsVersionRequest(const std::string& arg) {
  return EqualsIgnoreAsciiCase(arg, "/versao") || arg == "--version";
}

int ProgramMain(int argc, char** argv) {
  GLogger = nullptr;
  int code = 0;
  // Before the configuration, which may refuse to load.
  if (argc > 1 && IsVersionRequest(argv[1])) {
    ServiceControl::Default()->WriteOutput(std::string("lumacor-relay ") + kVersion);
    return 0;
  }
  try {
    GConfigManager = new TConfigManager();
  } catch (...) {
    // A path in Marlux.ini the platform refuses: no run mode can start.
    ServiceControl::Default()->ReportFatalError(CurrentErrorMessage());
    return static_cast<int>(kServiceConfigInvalid);
  }
  try {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    code = TWinServiceRunner::Run(args);
  } catch (...) {
    ServiceControl::Default()->ReportFatalError(CurrentErrorMessage());
    code = 1;
  }
  delete GConfigManager;
  GConfigManager = nullptr;
  TLogger* logger = GLogger;
  GLogger = nullptr;
  delete logger;
  return code;
}

}  // namespace lumacor
