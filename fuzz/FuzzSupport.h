// What every harness needs once per process: APR initialised, the host's
// log lines formatted (so that their arguments are exercised) but thrown
// away, and a scratch folder below the system's temporary directory that is
// removed when the process ends. Harnesses touch no file outside it.
//
// Header-only; each harness calls vxfuzz::Process() at the top of
// LLVMFuzzerTestOneInput. Inputs run one at a time on the calling thread.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <apr_general.h>
#include <apr_pools.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "vxhost/LogSink.h"

namespace vxfuzz {

// Stops the process with a message when a property of the code under test
// does not hold; the fuzzer reports it as a crash with the input.
#define VXFUZZ_CHECK(condition, what)                                                    \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: property failed: %s (%s)\n", __FILE__, __LINE__, what, \
                   #condition);                                                          \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

class Process {
 public:
  // The one instance, made on first use.
  static Process& Get() {
    static Process* process = new Process();  // lives until exit, see Cleanup
    return *process;
  }

  // A pool that lives as long as the process, for what outlives one input.
  apr_pool_t* Pool() const { return m_Pool; }
  const std::string& Scratch() const { return m_Scratch; }

 private:
  Process() {
    apr_initialize();
    apr_pool_create(&m_Pool, nullptr);
    vxhost::SetLogStream(nullptr);
    // Every line is formatted, as a host that logs at debug level would.
    m_Capture = new vxhost::LogCapture(
        vxhost::LogCapture::LineFunction([](apt_log_priority_e, const std::string&) {}),
                                       APT_PRIO_DEBUG);
    std::error_code error;
    std::string pattern =
        (std::filesystem::temp_directory_path(error) / "vxfuzz-XXXXXX").string();
    if (error || !mkdtemp(&pattern[0])) {
      std::fprintf(stderr, "vxfuzz: cannot make a scratch folder\n");
      std::abort();
    }
    m_Scratch = pattern;
    m_Owner = getpid();
    std::atexit(&Process::Cleanup);
  }

  static void Cleanup() {
    Process& process = Get();
    // A forked child (none is made here) must not remove its parent's folder.
    if (getpid() != process.m_Owner) return;
    std::error_code ignored;
    std::filesystem::remove_all(process.m_Scratch, ignored);
  }

  apr_pool_t* m_Pool = nullptr;
  vxhost::LogCapture* m_Capture = nullptr;  // never deleted: lines may come until exit
  std::string m_Scratch;
  pid_t m_Owner = 0;
};

// A child pool of the process pool for one input, destroyed with the scope.
class InputPool {
 public:
  InputPool() { apr_pool_create(&m_Pool, Process::Get().Pool()); }
  ~InputPool() { apr_pool_destroy(m_Pool); }
  InputPool(const InputPool&) = delete;
  InputPool& operator=(const InputPool&) = delete;
  apr_pool_t* Get() const { return m_Pool; }

 private:
  apr_pool_t* m_Pool = nullptr;
};

// Writes bytes to path whole (truncating); false when it cannot.
inline bool WriteWholeFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

}  // namespace vxfuzz
