// Program entry, run modes (install, remove, service, console) and the
// service host.
#ifndef LUMACOR_SERVICE_WINSERVICE_H_
#define LUMACOR_SERVICE_WINSERVICE_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ServiceControl.h"
#include "platform/StopEvent.h"

namespace lumacor {

class TSyncRunner;

inline constexpr const char* kServiceName = "OrvaneLumacorService";
inline constexpr const char* kServiceDisplayName = "Orvane Lumacor - Brevia";

// Service-specific exit codes of a start that failed, also the process's
// exit code. A configuration the agent cannot work with gets its own code
// (EX_CONFIG of sysexits.h), which the systemd unit exempts from restarts:
// restarting cannot mend it.
inline constexpr uint32_t kServiceStartFailed = 1;
inline constexpr uint32_t kServiceConfigInvalid = 78;

class TWinServiceRunner {
 public:
  TWinServiceRunner() = delete;

  // Everything the process does after start-up. `args` are the command-line
  // arguments after the program name. Returns the process exit code; an
  // error escaping console mode leaves it.
  static int Run(const std::vector<std::string>& args);

  // Sets the state in GServiceStatus and publishes it. A failed start
  // carries a non-zero `FailureCode` (kServiceStartFailed or
  // kServiceConfigInvalid), so the service manager's recovery acts.
  static void ReportServiceStatus(uint32_t State, uint32_t FailureCode = 0);
};

// Raises when the SQLite library file is missing beside the executable.
void CheckSQLiteDll();
void ConsoleWriteLine(const std::string& Text);
void ServiceMain(int argc, char** argv);
void ServiceCtrlHandler(uint32_t control);

// Milliseconds to wait between cycles: a negative interval counts as the
// default 60 s, and one whose milliseconds overflow the wait is clamped.
uint32_t IntervaloMs(int32_t IntervaloSegundos);

// "/versao" (any case) or "--version": print the version and end.
bool IsVersionRequest(const std::string& arg);

// The whole program: creates GConfigManager, runs, reports a fatal error
// and releases the process-wide objects. Returns the exit code.
int ProgramMain(int argc, char** argv);

extern std::atomic<StopEvent*> GStopEvent;
extern TSyncRunner* GSyncRunner;
extern TServiceStatus GServiceStatus;
extern ServiceStatusHandle GServiceStatusHandle;

}  // namespace lumacor

#endif  // LUMACOR_SERVICE_WINSERVICE_H_
