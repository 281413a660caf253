// The Windows service control manager, sc.exe through the shell, and the
// console and message box of a windowed program.
#include "platform/win32/WinApi.h"  // before <shellapi.h>, which needs <windows.h>

#include <shellapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ServiceControl.h"

namespace lumacor {

namespace {

using win32::Narrow;
using win32::Widen;

// The dispatcher and the manager call plain functions without a context
// argument; these hold what the trampolines below pass on.
std::atomic<ServiceMainFn> g_service_main{nullptr};
std::atomic<ServiceCtrlHandlerFn> g_handler{nullptr};

void WINAPI ServiceMainTrampoline(DWORD argc, LPWSTR* argv) {
  std::vector<std::string> args;
  for (DWORD i = 0; i < argc; ++i) args.push_back(Narrow(argv[i]));
  std::vector<char*> ptrs;
  for (auto& a : args) ptrs.push_back(a.data());
  ptrs.push_back(nullptr);
  ServiceMainFn fn = g_service_main.load();
  if (fn != nullptr) fn(static_cast<int>(argc), ptrs.data());
}

void WINAPI HandlerTrampoline(DWORD control) {
  ServiceCtrlHandlerFn fn = g_handler.load();
  if (fn != nullptr) fn(control);
}

std::atomic<ServiceCtrlHandlerFn> g_console_handler{nullptr};

BOOL WINAPI ConsoleCtrlTrampoline(DWORD) {
  ServiceCtrlHandlerFn fn = g_console_handler.load();
  if (fn == nullptr) return FALSE;
  fn(kServiceControlStop);
  return TRUE;
}

void RunSc(const std::string& parameters) {
  // No owner window, no working folder, no wait, no elevation: sc.exe
  // reports its own failures in its window.
  ::ShellExecuteW(nullptr, L"open", L"sc.exe", Widen(parameters).c_str(), nullptr, SW_SHOW);
}

// The same shell call, waited for: the steps of installation must run in
// order, and each one's exit code tells whether it worked.
DWORD RunScAndWait(const std::string& parameters) {
  std::wstring params = Widen(parameters);
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
  info.lpVerb = L"open";
  info.lpFile = L"sc.exe";
  info.lpParameters = params.c_str();
  info.nShow = SW_SHOW;
  if (!::ShellExecuteExW(&info)) {
    throw std::runtime_error("Nao foi possivel executar sc.exe: " +
                             win32::ErrorText(::GetLastError()));
  }
  if (info.hProcess == nullptr) return 0;  // the shell handed it over elsewhere
  win32::UniqueHandle process(info.hProcess);
  ::WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  if (!::GetExitCodeProcess(process.get(), &code)) code = ::GetLastError();
  return code;
}

void RequireSc(const std::string& parameters) {
  DWORD code = RunScAndWait(parameters);
  if (code != 0) {
    throw std::runtime_error("sc.exe " + parameters + " terminou com codigo " +
                             std::to_string(code));
  }
}

// True when the service control manager (services.exe) started this
// process. Asked first because the dispatcher call is not a safe probe
// everywhere: Wine's waits about ten seconds before failing, and marks the
// caller a system process that Wine ends, exit code 0, once no ordinary
// process is left, which can end a console run that has just begun.
bool StartedByServiceManager() {
  win32::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return true;  // cannot tell: let the dispatcher decide
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof(entry);
  DWORD self = ::GetCurrentProcessId();
  DWORD parent = 0;
  bool found = false;
  std::vector<PROCESSENTRY32W> all;
  for (BOOL ok = ::Process32FirstW(snapshot.get(), &entry); ok;
       ok = ::Process32NextW(snapshot.get(), &entry)) {
    all.push_back(entry);
    if (entry.th32ProcessID == self) {
      parent = entry.th32ParentProcessID;
      found = true;
    }
  }
  if (!found) return true;
  for (const PROCESSENTRY32W& p : all) {
    if (p.th32ProcessID == parent) return ::lstrcmpiW(p.szExeFile, L"services.exe") == 0;
  }
  return false;  // the parent has ended: services.exe never does
}

// True when `h` is a real handle someone gave us (a console, a file, a pipe).
bool Usable(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

void WriteLine(HANDLE h, const std::string& text) {
  DWORD mode, done;
  if (::GetConsoleMode(h, &mode)) {
    std::wstring w = Widen(text) + L"\r\n";
    ::WriteConsoleW(h, w.data(), static_cast<DWORD>(w.size()), &done, nullptr);
  } else {
    std::string bytes = text + "\r\n";
    ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
  }
}

class WinServiceControl : public ServiceControl {
 public:
  bool StartDispatcher(const std::string& service_name, ServiceMainFn service_main) override {
    if (!StartedByServiceManager()) return false;
    g_service_main = service_main;
    std::wstring name = Widen(service_name);
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMainTrampoline}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) != FALSE;
  }

  ServiceStatusHandle RegisterHandler(const std::string& service_name,
                                      ServiceCtrlHandlerFn handler) override {
    g_handler = handler;
    SERVICE_STATUS_HANDLE h =
        ::RegisterServiceCtrlHandlerW(Widen(service_name).c_str(), HandlerTrampoline);
    return reinterpret_cast<ServiceStatusHandle>(h);
  }

  bool SetStatus(ServiceStatusHandle handle, const TServiceStatus& status) override {
    SERVICE_STATUS s;
    s.dwServiceType = status.ServiceType;
    s.dwCurrentState = status.CurrentState;
    s.dwControlsAccepted = status.ControlsAccepted;
    s.dwWin32ExitCode = status.Win32ExitCode;
    s.dwServiceSpecificExitCode = status.ServiceSpecificExitCode;
    s.dwCheckPoint = status.CheckPoint;
    s.dwWaitHint = status.WaitHint;
    return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &s) != FALSE;
  }

  void InstallService(const std::string& service_name, const std::string& display_name,
                      const std::string& exe_path) override {
    RequireSc("create " + service_name + " binPath= \"" + exe_path +
              "\" start= auto DisplayName= \"" + display_name + "\"");
    // Restarted 60 s after each of its first three failures in a day.
    RequireSc("failure " + service_name +
              " reset= 86400 actions= restart/60000/restart/60000/restart/60000");
    // A start that fails ends with an error code rather than a crash; the
    // flag makes that count as a failure too. Systems without it (older
    // sc.exe, Wine) keep the restarts after a crash.
    DWORD code = RunScAndWait("failureflag " + service_name + " 1");
    if (code != 0) {
      ConsoleWriteLine("Aviso: sc.exe failureflag terminou com codigo " + std::to_string(code) +
                       "; o servico so sera reiniciado apos uma queda.");
    }
  }

  void RemoveService(const std::string& service_name, uint32_t pause_ms) override {
    RunSc("stop " + service_name);
    ::Sleep(pause_ms);
    RunSc("delete " + service_name);
  }

  void WatchConsoleStop(ServiceCtrlHandlerFn handler) override {
    g_console_handler = handler;
    ::SetConsoleCtrlHandler(ConsoleCtrlTrampoline, TRUE);
  }

  void UnwatchConsoleStop() override {
    ::SetConsoleCtrlHandler(ConsoleCtrlTrampoline, FALSE);
    g_console_handler = nullptr;
  }

  void ConsoleWriteLine(const std::string& text) override {
    if (::GetConsoleWindow() == nullptr) return;
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (Usable(out)) WriteLine(out, text);
  }

  void WriteOutput(const std::string& text) override {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (!Usable(out) &&
        (::GetConsoleWindow() != nullptr || ::AttachConsole(ATTACH_PARENT_PROCESS))) {
      // A windowed program started from cmd gets no standard handles: the
      // parent's console is reached by name.
      if (!console_out_.valid()) {
        console_out_ = win32::UniqueHandle(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                                         FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                         0, nullptr));
      }
      out = console_out_.get();
    }
    if (Usable(out)) WriteLine(out, text);
  }

  // A person who double-clicked the program sees a message box. A script
  // that gave us a standard error gets the text there instead, so an
  // unattended run never waits for a click nobody will make.
  void ReportFatalError(const std::string& message) override {
    HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    if (Usable(err)) {
      WriteLine(err, "lumacor-relay: " + message);
      return;
    }
    ::MessageBoxW(nullptr, Widen(message).c_str(), L"Orvane Lumacor",
                  MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  }

 private:
  win32::UniqueHandle console_out_;
};

}  // namespace

ServiceControl* ServiceControl::Default() {
  static WinServiceControl* sc = new WinServiceControl;
  return sc;
}

const char* SqliteLibraryFileName() { return "sqlite3.dll"; }

}  // namespace lumacor
