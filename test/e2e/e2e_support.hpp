// Helpers of the end-to-end tests: child processes with their output in a
// log file, a scratch share prefix with the demo configuration, and waiting.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace moorwick_e2e {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

// Replaces every occurrence of `from` in `text`.
inline std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Sets `key: value` of a YAML line (first match) without a YAML round trip,
// so comments and order stay as shipped.
inline std::string SetKey(const std::string& text, const std::string& key,
                          const std::string& value) {
  const std::regex line("(\\n[ \\t]*" + key + ":)[^\\n]*");
  return std::regex_replace(text, line, "$1 " + value, std::regex_constants::format_first_only);
}

// Polls `done` every 20 ms until it holds or `timeout` passes.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (done())
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

// A child process with stdout and stderr in a log file. Stopped by SIGINT
// (then SIGKILL) when it goes out of scope.
class Process {
public:
  Process(std::vector<std::string> args, const fs::path& log,
          const std::vector<std::string>& extra_env = {})
      : log_(log) {
    std::vector<char*> argv;
    for (auto& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_store;
    for (char** e = environ; *e != nullptr; ++e)
      env_store.emplace_back(*e);
    for (const auto& e : extra_env)
      env_store.push_back(e);
    std::vector<char*> envp;
    for (auto& e : env_store)
      envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  ~Process() { Stop(); }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const { return pid_ > 0; }
  bool Running() {
    if (pid_ <= 0 || exited_)
      return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      status_ = status;
      return false;
    }
    return true;
  }
  // SIGINT, then SIGKILL after `grace`. Returns the exit status as waitpid gives it.
  int Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(5000)) {
    if (pid_ <= 0)
      return -1;
    if (Running()) {
      kill(pid_, SIGINT);
      if (!WaitFor([this] { return !Running(); }, grace)) {
        killed_ = true;
        kill(pid_, SIGKILL);
        WaitFor([this] { return !Running(); }, std::chrono::milliseconds(2000));
      }
    }
    return status_;
  }
  bool WaitExit(std::chrono::milliseconds timeout) {
    return WaitFor([this] { return !Running(); }, timeout);
  }
  bool killed() const { return killed_; }
  int status() const { return status_; }
  std::string Log() const { return ReadFile(log_); }
  const fs::path& log_path() const { return log_; }

private:
  pid_t pid_{-1};
  bool exited_{false};
  bool killed_{false};
  int status_{-1};
  fs::path log_;
};

}  // namespace moorwick_e2e
