// The maker's one way to run work on more threads than the calling one.
#pragma once

#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

namespace varnock::maker {

// Threads that help the calling thread, joined however the scope is left
// (std::jthread, which the WebAssembly build's standard library lacks). The OS
// may refuse a thread (a task limit): the work then runs on fewer, which takes
// longer and changes nothing else, never the patch.
class HelperThreads {
 public:
  HelperThreads() = default;
  ~HelperThreads() { Join(); }
  HelperThreads(const HelperThreads&) = delete;
  HelperThreads& operator=(const HelperThreads&) = delete;

  // Starts up to `count` threads that each run `work`; the number started.
  template <typename Work>
  std::uint64_t Start(std::uint64_t count, const Work& work) {
    try {
      for (std::uint64_t i = 0; i < count; ++i) threads_.emplace_back(work);
    } catch (const std::system_error&) {
    }
    return threads_.size();
  }

  // Waits for every thread started to end.
  void Join() noexcept {
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

 private:
  std::vector<std::thread> threads_;
};

}  // namespace varnock::maker
