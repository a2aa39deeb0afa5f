// Guards against the library ending its host when the OS refuses it a thread
// (a task limit), and against varnock_make_files replacing what is not a
// regular file.
#include <gtest/gtest.h>

#ifndef _WIN32  // task limits, forks and special files of POSIX
#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "api/ApiSupport.h"

namespace varnock {
namespace {

using testing::Bytes;

Bytes Pattern(std::size_t size, unsigned seed) {
  Bytes bytes(size);
  std::uint32_t state = seed;
  for (auto& byte : bytes) {
    state = state * 1103515245 + 12345;
    byte = static_cast<std::uint8_t>(state >> 16);
  }
  return bytes;
}

// Makes a patch with `threads` threads in a child process that may start no
// thread at all; the child's exit status says what the call returned, 100
// for a patch other than the one-thread patch. An abort shows as a signal.
int MakeInChildWithoutThreads(const Bytes& source, const Bytes& target, const Bytes& expected,
                              std::uint32_t threads) {
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0) {
      // Root is not held by the limit; another uid is, and has no other task.
      if (setgroups(0, nullptr) != 0 || setresgid(54321, 54321, 54321) != 0 ||
          setresuid(54321, 54321, 54321) != 0)
        _exit(101);
    }
    const rlimit one{1, 1};
    if (setrlimit(RLIMIT_NPROC, &one) != 0) _exit(102);
    testing::Context context = testing::NewContext();
    varnock_make_options options{};
    options.threads = threads;
    Bytes patch;
    const std::int32_t code =
        varnock_make_memory(context.get(), source.data(), source.size(), target.data(), target.size(),
                            &options, testing::AppendTo, &patch, nullptr);
    _exit(code == VARNOCK_OK && patch != expected ? 100 : code);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(MakeLimits, AThreadTheSystemRefusesIsDoneWithout) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer starts no thread in a child of a forked process";
#endif
  const Bytes source = Pattern(600000, 1);
  Bytes target = source;
  target.insert(target.begin() + 1000, source.begin(), source.begin() + 5000);
  const Bytes extra = Pattern(400000, 2);
  target.insert(target.end(), extra.begin(), extra.end());
  testing::Context context = testing::NewContext();
  varnock_make_options one_thread{};
  one_thread.threads = 1;
  Bytes expected;
  ASSERT_EQ(varnock_make_memory(context.get(), source.data(), source.size(), target.data(), target.size(),
                                &one_thread, testing::AppendTo, &expected, nullptr),
            VARNOCK_OK);
  for (std::uint32_t threads : {0u, 2u, 8u, 1024u}) {
    EXPECT_EQ(MakeInChildWithoutThreads(source, target, expected, threads), VARNOCK_OK)
        << threads << " threads";
  }
}

TEST(MakeLimits, ASocketOrADirectoryIsNeverReplaced) {
  testing::Context context = testing::NewContext();
  varnock::testing::TempDir directory;
  const std::string source = directory.Write("source", Pattern(5000, 3));
  const std::string target = directory.Write("target", Pattern(6000, 4));
  const std::string socket_name = directory.File("socket");
  const int server = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(server, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_name.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, socket_name.c_str(), socket_name.size() + 1);
  ASSERT_EQ(bind(server, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const std::string folder = directory.File("folder");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  varnock_make_options replace{};
  replace.replace_existing = 1;
  for (const std::string& patch : {socket_name, folder}) {
    SCOPED_TRACE(patch);
    EXPECT_EQ(varnock_make_files(context.get(), source.c_str(), target.c_str(), patch.c_str(), &replace),
              VARNOCK_ERROR_CANNOT_CREATE);
  }
  struct stat info {};
  ASSERT_EQ(lstat(socket_name.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  ASSERT_EQ(lstat(folder.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  close(server);
}

}  // namespace
}  // namespace varnock
#endif
