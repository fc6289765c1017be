#pragma once

#include <apr_file_io.h>
#include <apr_pools.h>

namespace VXS {

// A pool of its own for one call's short-lived allocations (paths, file
// handles, parsed documents), so that repeated calls do not grow the
// caller's pool; destroyed with the guard. Get() is null when the pool could
// not be made. One owner, one thread.
class ScratchPool {
 public:
  explicit ScratchPool(apr_pool_t* parent) {
    if (apr_pool_create(&m_Pool, parent) != APR_SUCCESS) m_Pool = nullptr;
  }
  ~ScratchPool() {
    if (m_Pool) apr_pool_destroy(m_Pool);
  }
  ScratchPool(const ScratchPool&) = delete;
  ScratchPool& operator=(const ScratchPool&) = delete;

  apr_pool_t* Get() const { return m_Pool; }

 private:
  apr_pool_t* m_Pool = nullptr;
};

// An open APR file, closed when the guard goes. Declared after the pool the
// file lives in, so that it is closed before the pool is destroyed. One
// owner, one thread.
class AprFile {
 public:
  AprFile() = default;
  ~AprFile() { Close(); }
  AprFile(const AprFile&) = delete;
  AprFile& operator=(const AprFile&) = delete;

  // Where apr_file_open puts the file it opens.
  apr_file_t** Out() { return &m_File; }
  apr_file_t* Get() const { return m_File; }
  // Closes the file now; true when it closed cleanly (or none was open).
  bool Close() {
    apr_file_t* file = m_File;
    m_File = nullptr;
    return !file || apr_file_close(file) == APR_SUCCESS;
  }

 private:
  apr_file_t* m_File = nullptr;
};

}  // namespace VXS
