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
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
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

// Quoting for the executable's path in ExecStart=. systemd substitutes no
// variables in the program path, so "$" stays as it is.
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
      case '%':
        out += "%%";
        break;
      default:
        out += c;
    }
  }
  return out + "\"";
}

// WorkingDirectory= takes its value whole; only specifiers need escaping.
std::string EscapeSpecifiers(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '%') out += '%';
    out += c;
  }
  return out;
}

std::string FolderOfPath(const std::string& path) {
  size_t pos = path.find_last_of('/');
  if (pos == std::string::npos) return ".";
  return pos == 0 ? "/" : path.substr(0, pos);
}

// The packaged unit's hardening. The agent only reads outside its state
// and log folders, talks to the portal and the ERP database over TCP (or a
// local socket), and needs no privilege; a configuration error (exit 78)
// cannot be mended by restarting.
constexpr const char* kHardening =
    "StateDirectory=lumacor\n"
    "LogsDirectory=lumacor\n"
    "UMask=0027\n"
    "Restart=on-failure\n"
    "RestartSec=10\n"
    "RestartPreventExitStatus=78\n"
    "TimeoutStopSec=30\n"
    "NoNewPrivileges=yes\n"
    "ProtectSystem=strict\n"
    "ProtectHome=read-only\n"
    "PrivateTmp=yes\n"
    "PrivateDevices=yes\n"
    "DevicePolicy=closed\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "ProtectProc=invisible\n"
    "ProcSubset=pid\n"
    "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "RemoveIPC=yes\n"
    "CapabilityBoundingSet=\n"
    "AmbientCapabilities=\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged @resources\n"
    "SystemCallErrorNumber=EPERM\n";

// The unit "/install" writes: run as the installing user (root) from the
// executable's folder, which is the data folder on Linux and the one place
// outside the state and log folders where the agent may write.
std::string UnitText(const std::string& display_name, const std::string& exe_path) {
  for (unsigned char c : exe_path) {
    if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
      throw std::runtime_error(
          "O caminho do executavel tem caracteres que a unit do systemd nao aceita: " + exe_path);
    }
  }
  std::string folder = FolderOfPath(exe_path);
  std::string unit = "[Unit]\n";
  unit += "Description=" + display_name + "\n";
  unit += "Wants=network-online.target\n";
  unit += "After=network-online.target\n\n";
  unit += "[Service]\n";
  unit += "Type=notify\n";
  unit += "ExecStart=" + QuoteForUnit(exe_path) + "\n";
  unit += "WorkingDirectory=" + EscapeSpecifiers(folder) + "\n";
  unit += "ReadWritePaths=" + QuoteForUnit(folder) + "\n";
  unit += kHardening;
  unit += "\n[Install]\n";
  unit += "WantedBy=multi-user.target\n";
  return unit;
}

// Runs a command and waits for it; its own output goes to ours. Raises
// when it cannot be started or does not end with status 0.
void RunCommand(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::string line;
  for (const auto& a : args) line += (line.empty() ? "" : " ") + a;
  pid_t pid;
  int rc = ::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    throw std::runtime_error("Nao foi possivel executar " + args[0] + ": " + std::strerror(rc));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      throw std::runtime_error("Falha ao esperar por " + line + ": " + std::strerror(errno));
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
  throw std::runtime_error(
      line + (WIFEXITED(status) ? " terminou com codigo " + std::to_string(WEXITSTATUS(status))
                                : " terminou pelo sinal " + std::to_string(WTERMSIG(status))));
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
    std::string text = UnitText(display_name, exe_path);
    std::string unit = UnitPath(service_name);
    std::ofstream out(unit, std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      throw std::runtime_error("Nao foi possivel gravar " + unit + ": " + std::strerror(errno));
    }
    std::string systemctl = EnvOr("LUMACOR_SYSTEMCTL", "systemctl");
    RunCommand({systemctl, "daemon-reload"});
    RunCommand({systemctl, "enable", service_name + ".service"});
  }

  // Every step is tried even after one fails, so a half-removed service
  // does not stay behind; the first failure is the one reported.
  void RemoveService(const std::string& service_name, uint32_t pause_ms) override {
    std::string systemctl = EnvOr("LUMACOR_SYSTEMCTL", "systemctl");
    std::string unit = UnitPath(service_name);
    std::string first_error;
    auto step = [&](auto&& action) {
      try {
        action();
      } catch (const std::exception& e) {
        if (first_error.empty()) first_error = e.what();
      }
    };
    step([&] { RunCommand({systemctl, "stop", service_name + ".service"}); });
    ::usleep(pause_ms * 1000);
    step([&] { RunCommand({systemctl, "disable", service_name + ".service"}); });
    step([&] {
      if (std::remove(unit.c_str()) != 0 && errno != ENOENT) {
        throw std::runtime_error("Nao foi possivel apagar " + unit + ": " + std::strerror(errno));
      }
    });
    step([&] { RunCommand({systemctl, "daemon-reload"}); });
    if (!first_error.empty()) throw std::runtime_error(first_error);
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

  void ConsoleWriteLine(const std::string& text) override { std::cout << text << std::endl; }

  void WriteOutput(const std::string& text) override { std::cout << text << std::endl; }

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
