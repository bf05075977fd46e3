// Child processes for the process-level suites: stdout and stderr go to a log
// file the test reads back, the environment is ours plus a few overrides, and
// a process still running at the end is stopped with SIGINT, then SIGKILL.
// Also the scratch ROS prefix the node finds its share directory in.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace moorwick_test {

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
    if (done()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

class Process {
public:
  // `env` entries ("KEY=value") replace ours of the same key: getenv takes the
  // first match, so a duplicate would be ignored. Without `log` the output goes
  // to a temporary file removed with the process; without `merge_stderr` stderr
  // stays ours, so the log holds only what the child reports on stdout.
  explicit Process(std::vector<std::string> argv, fs::path log = {},
                   const std::vector<std::string>& env = {}, bool merge_stderr = true)
      : log_(std::move(log)) {
    if (log_.empty()) {
      static int serial = 0;
      log_ = fs::temp_directory_path() /
             ("moorwick_child_" + std::to_string(::getpid()) + "_" + std::to_string(++serial));
      own_log_ = true;
    }
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      merged[entry.substr(0, entry.find('='))] = entry;
    }
    for (const auto& entry : env) {
      merged[entry.substr(0, entry.find('='))] = entry;
    }
    // Both lists end with the nullptr the vectors start with.
    std::vector<char*> envp(merged.size() + 1, nullptr);
    std::transform(merged.begin(), merged.end(), envp.begin(),
                   [](auto& kv) { return kv.second.data(); });
    std::vector<char*> args(argv.size() + 1, nullptr);
    std::transform(argv.begin(), argv.end(), args.begin(), [](std::string& a) { return a.data(); });
    fs::create_directories(log_.parent_path());
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (merge_stderr) {
      posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
    }
    if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&fa);
  }
  ~Process() {
    stop();
    if (own_log_) {
      fs::remove(log_);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool killed() const { return killed_; }
  std::string log() const { return ReadFile(log_); }
  std::string log_since(std::size_t offset) const {
    const std::string text = log();
    return offset < text.size() ? text.substr(offset) : std::string();
  }

  bool running() {
    if (pid_ <= 0 || exited_) {
      return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      status_ = status;
      return false;
    }
    return true;
  }

  // Exit code, -1 while still running after `limit`, -2 when ended by a signal.
  int wait_exit(std::chrono::milliseconds limit) {
    if (!WaitFor([this] { return !running(); }, limit)) {
      return -1;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -2;
  }

  void signal(int sig) {
    if (running()) {
      ::kill(pid_, sig);
    }
  }

  // SIGINT, then SIGKILL after `grace`; the result as wait_exit gives it.
  int stop(std::chrono::milliseconds grace = std::chrono::milliseconds(5000)) {
    if (pid_ <= 0) {
      return -1;
    }
    signal(SIGINT);
    int code = wait_exit(grace);
    if (code == -1) {
      killed_ = true;
      ::kill(pid_, SIGKILL);
      code = wait_exit(std::chrono::milliseconds(5000));
    }
    return code;
  }

  // True once the log holds `line` as a whole line.
  bool wait_for_line(const std::string& line, std::chrono::milliseconds limit) const {
    return WaitFor([&] { return ("\n" + log()).find("\n" + line + "\n") != std::string::npos; },
                   limit);
  }
  // True once the log after byte `offset` holds `text`.
  bool wait_for_text(const std::string& text, std::chrono::milliseconds limit,
                     std::size_t offset = 0) const {
    return WaitFor([&] { return log_since(offset).find(text) != std::string::npos; }, limit);
  }

private:
  pid_t pid_{-1};
  bool exited_{false};
  bool killed_{false};
  bool own_log_{false};
  int status_{0};
  fs::path log_;
};

// A scratch ROS install prefix holding a copy of `config_dir` as the package's
// share/config, found by the node through AMENT_PREFIX_PATH. Removed at the end
// unless `keep` is set (a failing test keeps it for its logs).
class ScratchPrefix {
public:
  ScratchPrefix(const std::string& tag, const fs::path& config_dir) {
    root_ = fs::temp_directory_path() / ("moorwick_" + tag + "_" + std::to_string(::getpid()));
    fs::remove_all(root_);
    WriteFile(root_ / "prefix/share/ament_index/resource_index/packages/moorwick_arm_trash_detect",
              "");
    fs::create_directories(config().parent_path());
    fs::copy(config_dir, config(),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }
  ~ScratchPrefix() {
    if (!keep) {
      fs::remove_all(root_);
    }
  }
  ScratchPrefix(const ScratchPrefix&) = delete;
  ScratchPrefix& operator=(const ScratchPrefix&) = delete;

  // The folder for logs and data; the prefix itself is prefix().
  const fs::path& root() const { return root_; }
  fs::path prefix() const { return root_ / "prefix"; }
  fs::path config() const { return prefix() / "share/moorwick_arm_trash_detect/config"; }
  std::string ament_env() const { return "AMENT_PREFIX_PATH=" + prefix().string(); }

  // Lays the demo files over the shipped ones, as the demo launch does, with
  // the demo's debug folder inside the scratch folder.
  void UseDemo() const {
    for (const auto& entry : fs::directory_iterator(config() / "demo")) {
      fs::copy_file(entry.path(), config() / entry.path().filename(),
                    fs::copy_options::overwrite_existing);
    }
    const fs::path cam1 = config() / "cam1_detect_config.yaml";
    WriteFile(cam1, Replace(ReadFile(cam1), "@DEMO_CONFIG_DIR@", config().string()));
    const fs::path estimator = config() / "demo_pose_estimate_config.yaml";
    WriteFile(estimator,
              SetKey(ReadFile(estimator), "folder_path", "\"" + (root_ / "data").string() + "/\""));
  }

  bool keep{false};

private:
  fs::path root_;
};

}  // namespace moorwick_test
