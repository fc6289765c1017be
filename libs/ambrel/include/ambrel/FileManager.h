#pragma once

#include <cstdint>
#include <string>

#include "ambrel/BasicFileManager.h"
#include "ambrel/Logger.h"

namespace Ambrel {


// The framework's store orders its entries by time alone: the oldest file is
// the first evicted, and files of equal time go in the order they came.
struct FileTimeOrder {
  using Key = int64_t;
  static Key MakeKey(int64_t time, uint64_t /*usage*/) { return time; }
  static constexpr bool kCheckTimerMap = true;
};

// The framework's managed-file store: the files of one directory, evicted
// oldest first and deleted when their age limit is reached. Logs through its
// facility (not owned; it must outlive the store). Runs on the timer
// processor's thread only; see BasicFileManager for ownership.
class FileManager : public BasicFileManager<FileManager, FileTimeOrder> {
 public:
  using Base = BasicFileManager<FileManager, FileTimeOrder>;
  using Base::AddFileEntry;

  explicit FileManager(const LogFacility& facility);
  ~FileManager() override;

  // CreateFileEntry then AddFileEntry.
  virtual bool AddFileEntry(const std::string& name, int64_t time);
  // A new entry, not yet added; the caller owns it until then.
  virtual FileEntry* CreateFileEntry(const std::string& name, int64_t time);

 protected:
  void LogV(LogLevel level, const char* file, int line, const char* format,
            va_list args) const override;
  FileEntry* CreateScannedEntry(const std::string& name, int64_t time,
                                apr_pool_t* pool) override;
};

}  // namespace Ambrel
