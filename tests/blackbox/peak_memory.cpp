// Runs a command and prints its peak resident memory in KiB, then exits as
// it did. The peak of a process started by a large one (the test's Python)
// counts the pages it had before exec, so it is started from this small one.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) return 127;
  const pid_t child = fork();
  if (child < 0) return 127;
  if (child == 0) {
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) return 127;
  std::fprintf(stderr, "peak %ld\n", usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
