/*
 * Small owners of APR resources for the kit, the vexora program and their
 * tests: APR's initialisation and a pool; and the text of an apt_str_t. Each frees what it holds on every path out of a scope, so a
 * function that fails half-way has nothing to free by hand.
 *
 * None of them is thread-safe; each belongs to the thread that made it.
 */
#pragma once

#include <apr_general.h>
#include <apr_pools.h>

#include <string>

#include "vxhost/apt.h"

namespace vxhost {

// The text of an apt_str_t; empty for a string without a buffer.
inline std::string Str(const apt_str_t& str) {
  return str.buf ? std::string(str.buf, str.length) : std::string();
}

// Initialises APR for its lifetime (APR counts nested initialisations, so
// a scope inside another is harmless). Owned by the scope that makes it.
class AprScope {
 public:
  AprScope() : m_Ok(apr_initialize() == APR_SUCCESS) {}
  ~AprScope() {
    if (m_Ok) apr_terminate();
  }
  AprScope(const AprScope&) = delete;
  AprScope& operator=(const AprScope&) = delete;

  bool IsOk() const { return m_Ok; }

 private:
  const bool m_Ok;
};

// An APR pool, destroyed with its owner: a child of `parent`, or a root
// pool when `parent` is null. get() is null when the pool could not be
// made. Release() hands the pool on to a new owner.
class ScratchPool {
 public:
  explicit ScratchPool(apr_pool_t* parent = nullptr) {
    if (apr_pool_create(&m_Pool, parent) != APR_SUCCESS) m_Pool = nullptr;
  }
  ~ScratchPool() {
    if (m_Pool) apr_pool_destroy(m_Pool);
  }
  ScratchPool(const ScratchPool&) = delete;
  ScratchPool& operator=(const ScratchPool&) = delete;

  apr_pool_t* get() const { return m_Pool; }
  // Frees everything allocated so far; the pool stays usable.
  void Clear() {
    if (m_Pool) apr_pool_clear(m_Pool);
  }
  apr_pool_t* Release() {
    apr_pool_t* pool = m_Pool;
    m_Pool = nullptr;
    return pool;
  }

 private:
  apr_pool_t* m_Pool = nullptr;
};

}  // namespace vxhost
