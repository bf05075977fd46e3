// Runs the built node as a child process in a temporary ROS prefix, with its
// output captured in a file.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace moorwick {
namespace test {

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

// A ROS install prefix holding a copy of the package's configuration.
class TempPrefix {
public:
  explicit TempPrefix(const std::string& tag) {
    root_ = std::filesystem::temp_directory_path() /
            ("moorwick_" + tag + "_" + std::to_string(::getpid()));
    std::filesystem::remove_all(root_);
    WriteText(root_ / "share/ament_index/resource_index/packages/moorwick_arm_trash_detect", "");
    std::filesystem::create_directories(config_dir());
    std::filesystem::copy(MOORWICK_SOURCE_CONFIG_DIR, config_dir(),
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing);
  }
  ~TempPrefix() { std::filesystem::remove_all(root_); }
  TempPrefix(const TempPrefix&) = delete;
  TempPrefix& operator=(const TempPrefix&) = delete;

  std::filesystem::path root() const { return root_; }
  std::filesystem::path config_dir() const {
    return root_ / "share/moorwick_arm_trash_detect/config";
  }
  void WriteConfig(const std::string& name, const std::string& text) const {
    WriteText(config_dir() / name, text);
  }

private:
  std::filesystem::path root_;
};

#ifdef MOORWICK_NODE_EXE
class NodeProcess {
public:
  NodeProcess(const std::filesystem::path& prefix, int domain_id,
              const std::map<std::string, std::string>& extra_env = {}) {
    output_ = prefix / "node_output.txt";
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      const auto eq = entry.find('=');
      env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    env["AMENT_PREFIX_PATH"] = prefix.string();
    env["ROS_DOMAIN_ID"] = std::to_string(domain_id);
    env["CYCLONEDDS_URI"] =
        std::string("file://") + MOORWICK_SOURCE_CONFIG_DIR + "/cyclonedds_loopback.xml";
    env["SPDLOG_STDOUT"] = "true";
    env["SPDLOG_SYSTEMD"] = "false";
    env["SPDLOG_LEVEL"] = "debug";
    for (const auto& [k, v] : extra_env) {
      env[k] = v;
    }
    std::vector<std::string> env_text;
    for (const auto& [k, v] : env) {
      env_text.push_back(k + "=" + v);
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      std::vector<char*> envp;
      for (auto& s : env_text) {
        envp.push_back(s.data());
      }
      envp.push_back(nullptr);
      const std::string out = output_.string();
      FILE* f = std::freopen(out.c_str(), "w", stdout);
      if (f == nullptr || ::dup2(::fileno(stdout), 2) < 0) {
        ::_exit(127);
      }
      char exe[] = MOORWICK_NODE_EXE;
      char* argv[] = {exe, nullptr};
      ::execve(exe, argv, envp.data());
      ::_exit(127);
    }
  }

  ~NodeProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }

  std::string Output() const { return ReadText(output_); }

  // Waits until the output holds `text`; false when the process ended first or
  // the bound passed.
  bool WaitForOutput(const std::string& text, std::chrono::seconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < end) {
      if (Output().find(text) != std::string::npos) {
        return true;
      }
      if (Exited(std::chrono::milliseconds(0))) {
        return Output().find(text) != std::string::npos;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // True once the process has ended within `bound`; its status is then known.
  bool Exited(std::chrono::milliseconds bound) {
    if (exited_) {
      return true;
    }
    const auto end = std::chrono::steady_clock::now() + bound;
    do {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        status_ = status;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < end);
    return false;
  }

  void Interrupt() { ::kill(pid_, SIGINT); }
  bool ExitedNormally() const { return exited_ && WIFEXITED(status_); }
  int ExitCode() const { return WEXITSTATUS(status_); }
  int raw_status() const { return status_; }

private:
  pid_t pid_{-1};
  bool exited_{false};
  int status_{0};
  std::filesystem::path output_;
};

#endif  // MOORWICK_NODE_EXE

}  // namespace test
}  // namespace moorwick
