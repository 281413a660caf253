// The service manager and the other process-level facilities of the run
// modes: the Windows service control manager and sc.exe on Windows,
// systemd (notify protocol, signals, unit files) on Linux.
#ifndef LUMACOR_PLATFORM_SERVICECONTROL_H_
#define LUMACOR_PLATFORM_SERVICECONTROL_H_

#include <cstdint>
#include <string>

namespace lumacor {

// Values of the Windows service status record (named apart from the
// Windows macros); the POSIX half maps them to the systemd notify protocol.
inline constexpr uint32_t kServiceWin32OwnProcess = 16;
inline constexpr uint32_t kServiceStopped = 1;
inline constexpr uint32_t kServiceStartPending = 2;
inline constexpr uint32_t kServiceStopPending = 3;
inline constexpr uint32_t kServiceRunning = 4;
inline constexpr uint32_t kServiceAcceptStop = 1;
inline constexpr uint32_t kServiceAcceptShutdown = 4;
inline constexpr uint32_t kServiceControlStop = 1;
inline constexpr uint32_t kServiceControlInterrogate = 4;
inline constexpr uint32_t kServiceControlShutdown = 5;
inline constexpr uint32_t kNoError = 0;
inline constexpr uint32_t kErrorServiceSpecificError = 1066;

struct TServiceStatus {
  uint32_t ServiceType = 0;
  uint32_t CurrentState = 0;
  uint32_t ControlsAccepted = 0;
  uint32_t Win32ExitCode = 0;
  uint32_t ServiceSpecificExitCode = 0;
  uint32_t CheckPoint = 0;
  uint32_t WaitHint = 0;
};

using ServiceStatusHandle = uintptr_t;  // 0: no handle
using ServiceMainFn = void (*)(int argc, char** argv);
using ServiceCtrlHandlerFn = void (*)(uint32_t control);

class ServiceControl {
 public:
  virtual ~ServiceControl() = default;
  static ServiceControl* Default();

  // Hands `service_main` to the service manager, which runs it on a thread
  // of its own while this thread delivers control requests to the handler.
  // Returns true after the service stopped; false at once when the process
  // was not started by the service manager.
  virtual bool StartDispatcher(const std::string& service_name, ServiceMainFn service_main) = 0;

  // Registers the control handler; 0 on failure.
  virtual ServiceStatusHandle RegisterHandler(const std::string& service_name,
                                              ServiceCtrlHandlerFn handler) = 0;

  // Publishes `status`. The result is informational only.
  virtual bool SetStatus(ServiceStatusHandle handle, const TServiceStatus& status) = 0;

  // Registers the service to start automatically with the system, running
  // `exe_path` without arguments, and restarted when it fails. Raises an
  // error naming the step that failed.
  virtual void InstallService(const std::string& service_name, const std::string& display_name,
                              const std::string& exe_path) = 0;
  // Stops the service, pauses `pause_ms`, then deletes it. Raises where the
  // platform can tell that a step failed.
  virtual void RemoveService(const std::string& service_name, uint32_t pause_ms) = 0;

  // Console mode: has `handler` called with kServiceControlStop, on a
  // thread of the platform's, when the process is asked to end (SIGTERM or
  // SIGINT; Ctrl+C or the console closing), until UnwatchConsoleStop. Call
  // before the process starts threads of its own.
  virtual void WatchConsoleStop(ServiceCtrlHandlerFn handler) = 0;
  virtual void UnwatchConsoleStop() = 0;

  // Writes a line to the console, when the process has one.
  virtual void ConsoleWriteLine(const std::string& text) = 0;
  // Writes a line to standard output for the commands a person or a
  // monitoring script runs (/status, /versao): the handle the caller
  // redirected, else the console of the terminal that started the program
  // (Windows attaches to it, as this program has none of its own).
  virtual void WriteOutput(const std::string& text) = 0;
  // Reports an error that ended the program (stderr, or a message box).
  virtual void ReportFatalError(const std::string& message) = 0;
};

// Name of the SQLite library file that must lie beside the executable, or
// empty where SQLite is linked into the program and there is no file.
const char* SqliteLibraryFileName();

}  // namespace lumacor

#endif  // LUMACOR_PLATFORM_SERVICECONTROL_H_
