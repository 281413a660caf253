// systemd stands in for the Windows service control manager: a process
// started by systemd as a notify service (NOTIFY_SOCKET set) is the
// service; SIGTERM and SIGINT are its stop and shutdown requests; status
// reports become sd_notify messages; "/install" writes a unit file.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <thread>
#include <vector>

#include "platform/ServiceControl.h"

extern char** environ;

namespace lumacor {

namespace {

std::string EnvOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::string(v) : std::string(fallback);
}

// systemd's own quoting for one command-line word.
std::string QuoteForUnit(const std::string& word) {
  std::string out = "\"";
  for (char c : word) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '%':
        out += "%%";
        break;
      case '$':
        out += "$$";
        break;
      default:
        out += c;
    }
  }
  return out + "\"";
}

// Runs a command and waits for it; its own output goes to ours.
void RunCommand(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    std::cerr << "Nao foi possivel executar " << args[0] << "\n";
    return;
  }
  int status;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

class SystemdServiceControl : public ServiceControl {
 public:
  bool StartDispatcher(const std::string& service_name, ServiceMainFn service_main) override {
    if (EnvOr("NOTIFY_SOCKET", "").empty()) return false;

    // Requests arrive as signals; only this thread takes them, so the
    // service thread must start with them blocked.
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &set, &old);

    std::atomic<bool> done{false};
    std::string name = service_name;
    std::thread service([&] {
      char* argv[] = {name.data(), nullptr};
      service_main(1, argv);
      done = true;
    });
    // A request that comes before the service registered its handler is
    // kept for it: dropping it would leave the service running until
    // systemd kills it.
    uint32_t waiting = 0;
    while (!done) {
      struct timespec tick = {0, 100 * 1000 * 1000};
      int sig = ::sigtimedwait(&set, nullptr, &tick);
      if (sig == SIGTERM) waiting = kServiceControlStop;
      if (sig == SIGINT) waiting = kServiceControlShutdown;
      ServiceCtrlHandlerFn handler = handler_.load();
      if (waiting != 0 && handler != nullptr) {
        handler(waiting);
        waiting = 0;
      }
    }
    service.join();
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return true;
  }

  ServiceStatusHandle RegisterHandler(const std::string&, ServiceCtrlHandlerFn handler) override {
    handler_ = handler;
    return 1;
  }

  bool SetStatus(ServiceStatusHandle, const TServiceStatus& status) override {
    std::string msg;
    switch (status.CurrentState) {
      case kServiceStartPending:
        msg = "STATUS=Iniciando";
        break;
      case kServiceRunning:
        msg = "READY=1\nSTATUS=Em execucao";
        break;
      case kServiceStopPending:
        msg = "STOPPING=1\nSTATUS=Parando";
        break;
      case kServiceStopped:
        msg = status.Win32ExitCode == kNoError
                  ? "STATUS=Parado"
                  : "STATUS=Falha ao iniciar (codigo " +
                        std::to_string(status.ServiceSpecificExitCode) + ")";
        break;
      default:
        return false;
    }
    return ::sd_notify(0, msg.c_str()) > 0;
  }

  void InstallService(const std::string& service_name, const std::string& display_name,
                      const std::string& exe_path) override {
    std::string unit = UnitPath(service_name);
    std::ofstream out(unit, std::ios::trunc);
    out << "[Unit]\n"
        << "Description=" << display_name << "\n"
        << "Wants=network-online.target\n"
        << "After=network-online.target\n\n"
        << "[Service]\n"
        << "Type=notify\n"
        << "ExecStart=" << QuoteForUnit(exe_path) << "\n"
        << "Restart=on-failure\n"
        << "RestartSec=10\n\n"
        << "[Install]\n"
        << "WantedBy=multi-user.target\n";
    out.close();
    if (!out) {
      std::cerr << "Nao foi possivel gravar " << unit << "\n";
      return;
    }
    std::string systemctl = EnvOr("LUMACOR_SYSTEMCTL", "systemctl");
    RunCommand({systemctl, "daemon-reload"});
    RunCommand({systemctl, "enable", service_name + ".service"});
  }

  void RemoveService(const std::string& service_name, uint32_t pause_ms) override {
    std::string systemctl = EnvOr("LUMACOR_SYSTEMCTL", "systemctl");
    RunCommand({systemctl, "stop", service_name + ".service"});
    ::usleep(pause_ms * 1000);
    RunCommand({systemctl, "disable", service_name + ".service"});
    std::remove(UnitPath(service_name).c_str());
    RunCommand({systemctl, "daemon-reload"});
  }

  void WatchConsoleStop(ServiceCtrlHandlerFn handler) override {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &set, &console_old_mask_);
    console_watching_ = true;
    console_watcher_ = std::thread([this, set, handler] {
      while (console_watching_) {
        struct timespec tick = {0, 100 * 1000 * 1000};
        int sig = ::sigtimedwait(&set, nullptr, &tick);
        if (sig == SIGTERM || sig == SIGINT) handler(kServiceControlStop);
      }
    });
  }

  void UnwatchConsoleStop() override {
    if (!console_watcher_.joinable()) return;
    console_watching_ = false;
    console_watcher_.join();
    ::pthread_sigmask(SIG_SETMASK, &console_old_mask_, nullptr);
  }

  void ConsoleWriteLine(const std::string& text) override {
    std::cout << text << std::endl;
  }

  void ReportFatalError(const std::string& message) override {
    std::cerr << "lumacor-relay: " << message << std::endl;
  }

 private:
  static std::string UnitPath(const std::string& service_name) {
    return EnvOr("LUMACOR_SYSTEMD_UNIT_DIR", "/etc/systemd/system") + "/" + service_name +
           ".service";
  }

  std::atomic<ServiceCtrlHandlerFn> handler_{nullptr};
  std::atomic<bool> console_watching_{false};
  std::thread console_watcher_;
  sigset_t console_old_mask_;
};

}  // namespace

ServiceControl* ServiceControl::Default() {
  static SystemdServiceControl* sc = new SystemdServiceControl;
  return sc;
}

const char* SqliteLibraryFileName() { return ""; }

}  // namespace lumacor
