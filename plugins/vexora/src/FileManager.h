#pragma once

#include <cstdint>
#include <string>

#include <apr_pools.h>

#include "ambrel/BasicFileManager.h"
#include "ambrel/Logger.h"

namespace VXS {

// The order of the plug-in store's index: fewest uses first, then oldest,
// so that a frequently replayed file outlives one that was never used again.
struct FileKey {
  int64_t m_Time;
  uint64_t m_Usage;

  bool operator<(const FileKey& other) const {
    if (m_Usage != other.m_Usage) return m_Usage < other.m_Usage;
    return m_Time < other.m_Time;
  }
};

struct FileUsageOrder {
  using Key = FileKey;
  static Key MakeKey(int64_t time, uint64_t usage) { return FileKey{time, usage}; }
  static constexpr bool kCheckTimerMap = false;
};

// The plug-in's managed-file store, base of the waveform manager: files are
// evicted least used first, then oldest, and deleted when their age limit
// is reached. Logs to the host log; the facility (not owned, must outlive
// the store) only names it in the consistency line. Runs on the engine's
// event-processor thread only; see Ambrel::BasicFileManager for ownership.
class FileManager : public Ambrel::BasicFileManager<FileManager, FileUsageOrder> {
 public:
  using Base = Ambrel::BasicFileManager<FileManager, FileUsageOrder>;
  using FileKey = VXS::FileKey;
  using Base::AddFileEntry;

  explicit FileManager(const Ambrel::LogFacility& facility);
  ~FileManager() override;

  // CreateFileEntry then AddFileEntry.
  virtual bool AddFileEntry(const std::string& name, int64_t time, apr_pool_t* pool);
  // A new entry, not yet added; the caller owns it until then. The start-up
  // scan calls it too, with its own pool.
  virtual FileEntry* CreateFileEntry(const std::string& name, int64_t time, apr_pool_t* pool);
  // Files the entry again under its new use count; false when not indexed.
  virtual bool UpdateFileEntryUsage(FileEntry* entry, uint64_t usage);

 protected:
  void LogV(Ambrel::LogLevel level, const char* file, int line, const char* format,
            va_list args) const override;
  FileEntry* CreateScannedEntry(const std::string& name, int64_t time,
                                apr_pool_t* pool) override;
};

}  // namespace VXS
