#pragma once
// Starting and waiting for the writer process (RegistryWriter.cpp) of the crash and concurrency
// tests.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

extern char** environ;

namespace regtest {

// Starts the writer; with `output` its stdout goes into a pipe whose read end is stored there.
inline pid_t spawnWriter(std::vector<std::string> args, int* output = nullptr) {
  args.insert(args.begin(), VL_REGISTRY_WRITER);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int fds[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output) {
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  }
  pid_t pid = -1;
  int r = posix_spawn(&pid, VL_REGISTRY_WRITER, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output) {
    ::close(fds[1]);
    *output = fds[0];
  }
  return r == 0 ? pid : -1;
}

// Waits up to 30 s for one byte from the writer (one rewrite stored).
inline bool awaitRewrite(int fd) {
  pollfd p{fd, POLLIN, 0};
  char c;
  return ::poll(&p, 1, 30000) == 1 && ::read(fd, &c, 1) == 1;
}

inline int waitExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

}  // namespace regtest
