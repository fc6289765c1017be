// The cache descriptor beside a cached waveform, as the waveform manager
// reads it: at the start-up scan (a new record takes every value) and on
// demand for a registered record (its checksum and use count are the keys
// of the store's indexes and must not change).
//
// The input is the descriptor file. Properties: what was read, saved and
// read again saves to the same bytes; an on-demand read changes neither key
// of a registered record.
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "WaveformManager.h"

namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

VXS::WaveformManager& Manager() {
  static VXS::WaveformManager* manager = [] {
    VXS::WaveformManager::Settings settings;
    settings.m_WaveformFolder = vxfuzz::Process::Get().Scratch();
    settings.m_FilePrefix = "vexora-";
    return new VXS::WaveformManager(settings, true);  // lives until exit
  }();
  return *manager;
}

std::unique_ptr<VXS::WaveformManager::CacheEntry> Scan(const std::string& name,
                                                      apr_pool_t* pool) {
  VXS::WaveformManager::FileEntry* entry = Manager().CreateFileEntry(name, 0, pool);
  auto* cache = dynamic_cast<VXS::WaveformManager::CacheEntry*>(entry);
  VXFUZZ_CHECK(cache != nullptr, "a caching manager makes cache records");
  return std::unique_ptr<VXS::WaveformManager::CacheEntry>(cache);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& folder = vxfuzz::Process::Get().Scratch();
  VXS::WaveformManager& manager = Manager();
  vxfuzz::InputPool pool;
  VXFUZZ_CHECK(vxfuzz::WriteWholeFile(folder + "/vexora-input.cache", data, size),
               "the descriptor is written");

  // Read at the scan, saved, read and saved again.
  std::unique_ptr<VXS::WaveformManager::CacheEntry> first = Scan("vexora-input.wav", pool.Get());
  first->m_Name = "vexora-first.wav";
  VXFUZZ_CHECK(manager.SaveCacheFile(first.get(), pool.Get()), "the record is saved");
  std::unique_ptr<VXS::WaveformManager::CacheEntry> second = Scan("vexora-first.wav", pool.Get());
  second->m_Name = "vexora-second.wav";
  VXFUZZ_CHECK(manager.SaveCacheFile(second.get(), pool.Get()), "the record is saved again");
  VXFUZZ_CHECK(ReadWhole(folder + "/vexora-first.cache") ==
                   ReadWhole(folder + "/vexora-second.cache"),
               "a saved record reads back to what saves the same");
  // Numbers of the prosody are saved to six digits; the rest exactly.
  VXFUZZ_CHECK(first->m_Checksum == second->m_Checksum && first->m_Content == second->m_Content &&
                   first->m_Language == second->m_Language &&
                   first->m_VoiceName == second->m_VoiceName &&
                   first->m_VoiceGender == second->m_VoiceGender &&
                   first->m_SamplingRate == second->m_SamplingRate &&
                   first->m_Prosody.m_Pitch == second->m_Prosody.m_Pitch &&
                   first->m_Prosody.m_Duration == second->m_Prosody.m_Duration,
               "a saved record reads back to the same values");

  // Read on demand while registered under the keys the scan gave.
  first->m_Name = "vexora-input.wav";
  first->OnRegister(&manager);
  const uint64_t checksum = first->m_Checksum;
  const uint64_t usage = first->m_Usage;
  manager.LoadCacheFile(first.get(), pool.Get());
  VXFUZZ_CHECK(first->m_Checksum == checksum && first->m_Usage == usage,
               "an on-demand read keeps the index keys");
  first->OnUnregister(&manager);
  VXFUZZ_CHECK(manager.GetChecksumIndex().empty(), "the record leaves the index");
  return 0;
}
