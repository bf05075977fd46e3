// Starts a peer process with a pipe on its stdout, so a test can wait for a
// line ("ready") and then signal or reap it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace ros2_runtime_test {

class ChildProcess {
public:
  explicit ChildProcess(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe(fds) != 0) {
      return;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    std::vector<char*> args;
    for (const auto& a : argv) {
      args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      int st = 0;
      ::waitpid(pid_, &st, 0);
    }
    if (out_ >= 0) {
      ::close(out_);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // True once the child printed `line`, false on time-out or end of output.
  bool wait_for_line(const std::string& line, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      size_t nl;
      while ((nl = buffer_.find('\n')) != std::string::npos) {
        const std::string got = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        if (got == line) {
          return true;
        }
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        return false;
      }
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        continue;
      }
      char buf[256];
      const ssize_t n = ::read(out_, buf, sizeof(buf));
      if (n <= 0) {
        return false;
      }
      buffer_.append(buf, static_cast<size_t>(n));
    }
  }

  void signal(int sig) {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, sig);
    }
  }

  // Exit status, or -1 on time-out, -2 when killed by a signal.
  int wait_exit(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      int st = 0;
      const pid_t r = ::waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        if (WIFEXITED(st)) {
          return WEXITSTATUS(st);
        }
        return -2;
      }
      ::usleep(10000);
    }
    return -1;
  }

private:
  pid_t pid_{-1};
  int out_{-1};
  bool reaped_{false};
  std::string buffer_;
};

}  // namespace ros2_runtime_test
