// Runs the real executable for end-to-end tests: its own environment,
// standard output and error captured to files, signals, timed waits.
#ifndef LUMACOR_TESTS_CHILDPROCESS_H_
#define LUMACOR_TESTS_CHILDPROCESS_H_

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace lumacor::testing {

class ChildProcess {
 public:
  // `env` entries override the parent's; an empty value unsets the name.
  ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
               const std::string& out_path, const std::string& err_path) {
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string kv = *e;
      size_t eq = kv.find('=');
      if (eq != std::string::npos) merged[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : env) {
      if (v.empty()) {
        merged.erase(k);
      } else {
        merged[k] = v;
      }
    }
    std::vector<std::string> env_strings;
    for (const auto& [k, v] : merged) env_strings.push_back(k + "=" + v);
    std::vector<char*> envp, args;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_copy = argv;
    for (auto& s : argv_copy) args.push_back(s.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // The child must see default signal handling even if a test runner
    // blocked signals.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    int rc = posix_spawn(&pid_, args[0], &fa, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) throw std::runtime_error("posix_spawn falhou para " + argv[0]);
  }

  ~ChildProcess() {
    if (!exit_code_) {
      ::kill(pid_, SIGKILL);
      int status;
      ::waitpid(pid_, &status, 0);
    }
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Signal(int sig) { ::kill(pid_, sig); }

  // Exit code, or 128 + signal number; nullopt when still running at the
  // deadline.
  std::optional<int> Wait(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exit_code_) {
      int status;
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return exit_code_;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> exit_code_;
};

// Polls `pred` until it holds or `timeout` passes.
inline bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return true;
}

}  // namespace lumacor::testing

#endif  // LUMACOR_TESTS_CHILDPROCESS_H_
