// What the tests of the waveform folder share: a scratch folder with a
// manager over it, WAVE images and descriptor tokens written byte by byte,
// and a count of the largest allocation (this header replaces the program's
// operator new, so each test program includes it once).
#pragma once

#include <apr_pools.h>
#include <apr_xml.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "WaveformManager.h"
#include "ambrel/testing/TestSupport.h"
#include "vxhost/LogSink.h"

// The largest single allocation since the last reset, so that a test can
// tell whether a length read from a file sized a buffer.
std::atomic<size_t> g_LargestAllocation{0};

// The replacements pair malloc with free themselves; the compiler cannot
// tell that from the call sites it inlines them into.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  size_t largest = g_LargestAllocation.load();
  while (size > largest && !g_LargestAllocation.compare_exchange_weak(largest, size)) {
  }
  if (void* memory = std::malloc(size ? size : 1)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

namespace VXS {
namespace Testing {

constexpr size_t kSmallAllocation = 1 << 20;

using CacheEntry = WaveformManager::CacheEntry;

inline std::string Uint32Bytes(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

inline uint32_t Uint32At(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return value;
}

inline std::string Token(const std::string& bytes) { return Uint32Bytes(bytes.size()) + bytes; }

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// A WAVE image whose "data" chunk claims `claimed` bytes and holds `audio`,
// with `chunks` between the format chunk and the data chunk.
inline std::string WaveImage(uint32_t claimed, const std::string& audio, const std::string& chunks = "") {
  std::string fmt = Uint32Bytes(16) + std::string("\x01\x00\x01\x00", 4) + Uint32Bytes(8000) +
                    Uint32Bytes(16000) + std::string("\x02\x00\x10\x00", 4);
  return "RIFF" + Uint32Bytes(claimed + 36) + "WAVEfmt " + fmt + chunks + "data" +
         Uint32Bytes(claimed) + audio;
}

class WaveformFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Dir.IsValid());
    ASSERT_EQ(APR_SUCCESS, apr_pool_create(&m_Pool, nullptr));
    m_Settings.m_WaveformFolder = m_Dir.Path();
    m_Settings.m_FilePrefix = "vexora-";
    m_Settings.m_MaxFileAge = 0;
  }
  void TearDown() override { apr_pool_destroy(m_Pool); }

  std::unique_ptr<WaveformManager> MakeManager(bool caching) {
    return std::make_unique<WaveformManager>(m_Settings, caching);
  }
  std::string PathOf(const std::string& name) const { return m_Dir / name; }

  // A WAVE file and its descriptor, as a channel leaves them after a miss.
  void WriteRecord(WaveformManager& manager, const std::string& name, uint64_t checksum,
                   uint64_t usage) {
    WriteAll(PathOf(name), WaveImage(2, "ab"));
    CacheEntry entry(name, 0);
    entry.m_Checksum = checksum;
    entry.m_Usage = usage;
    ASSERT_TRUE(manager.SaveCacheFile(&entry, m_Pool));
  }

  // Loads a descriptor written by the test into a fresh record.
  std::unique_ptr<CacheEntry> LoadDescriptor(const std::string& bytes) {
    WriteAll(PathOf("vexora-x.cache"), bytes);
    auto entry = std::make_unique<CacheEntry>("vexora-x.wav", 0);
    EXPECT_TRUE(entry->Load(PathOf("vexora-x.cache"), m_Pool));
    return entry;
  }

  Ambrel::Testing::AprScope m_Apr;
  Ambrel::Testing::ScratchDir m_Dir;
  apr_pool_t* m_Pool = nullptr;
  WaveformManager::Settings m_Settings;
};

}  // namespace Testing
}  // namespace VXS
