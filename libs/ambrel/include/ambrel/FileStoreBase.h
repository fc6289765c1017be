#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include <apr_file_info.h>
#include <apr_pools.h>

#include "ambrel/Clock.h"
#include "ambrel/Logger.h"
#include "ambrel/Timer.h"

namespace Ambrel {

class AsyncEventTimerProcessor;

// What every managed-file store shares whatever the order of its entries:
// the settings, the directory, the start-up scan of the directory and the
// expiration timers' creation. Runs on the timer processor's thread only.
// The log facility and the timer processor are not owned and must outlive
// the store; BasicFileManager adds the entry index.
class FileStoreBase : public TimerHandler {
 public:
  ~FileStoreBase() override;

  FileStoreBase(const FileStoreBase&) = delete;
  FileStoreBase& operator=(const FileStoreBase&) = delete;

  // Makes sure the directory exists, then indexes the files found in it.
  // False only when the directory is missing and cannot be created.
  virtual bool LoadFileEntries();
  // The same scan in slices, for folders too large to index in one go: the
  // first `count` matching files are taken now and the rest by
  // ContinueLoadFileEntries, so that the thread can serve other work in
  // between. While the scan lasts the index holds only what it has reached
  // so far, and the count limit waits for the scan's end, where it evicts
  // in the order of every file's own use count and time.
  bool BeginLoadFileEntries(size_t count);
  // Takes up to `count` more files; false once the scan has ended (also
  // when none was going on).
  bool ContinueLoadFileEntries(size_t count);
  bool IsLoadingFileEntries() const { return m_ScanDir != nullptr; }
  // Deletes directory + name from disk; true when it was deleted.
  virtual bool RemoveManagedFile(const std::string& name);

  // Appends "/" to a non-empty directory that lacks it.
  void SetDirectory(const std::string& directory);
  void SetFilePrefix(const std::string& prefix) { m_FilePrefix = prefix; }
  void SetFileExtension(const std::string& extension) { m_FileExtension = extension; }
  // 0 (or less) means no limit.
  void SetMaxFileCount(int64_t count) { m_MaxFileCount = count; }
  // Minutes; 0 (or less) means files never expire.
  void SetMaxFileAge(int64_t minutes) { m_MaxFileAge = minutes; }
  void SetPurgeExisting(bool purge) { m_PurgeExisting = purge; }
  // Without a processor no expiration timer is ever started.
  void SetTimerProcessor(AsyncEventTimerProcessor* processor) { m_TimerProcessor = processor; }
  // The present as the start-up scan sees it when it judges file ages.
  void SetClock(Clock clock) { m_Clock = std::move(clock); }

  const std::string& GetDirectory() const { return m_Directory; }
  const std::string& GetFilePrefix() const { return m_FilePrefix; }
  const std::string& GetFileExtension() const { return m_FileExtension; }
  int64_t GetMaxFileCount() const { return m_MaxFileCount; }
  int64_t GetMaxFileAge() const { return m_MaxFileAge; }
  bool GetPurgeExisting() const { return m_PurgeExisting; }
  AsyncEventTimerProcessor* GetTimerProcessor() const { return m_TimerProcessor; }
  const LogFacility& GetLogFacility() const { return m_Facility; }
  // prefix + "*" + extension
  std::string GetFilePattern() const;

 protected:
  // The moment of a start-up scan and the age beyond which it deletes a
  // file, in microseconds; both 0 when no age is checked.
  struct ScanLimits {
    int64_t m_Now = 0;
    int64_t m_AgeLimit = 0;
  };

  explicit FileStoreBase(const LogFacility& facility);

  // Where the store's lines go; level numbers are those of the host log.
  virtual void LogV(LogLevel level, const char* file, int line, const char* format,
                    va_list args) const = 0;
  void Log(LogLevel level, const char* file, int line, const char* format, ...) const
      __attribute__((format(printf, 5, 6)));

  // Takes one file of the scan that may stay into the index and sets its
  // expiration timer; `expiry` is the APR time it is to go, 0 for never.
  virtual void AdoptScannedFile(const std::string& name, int64_t change_time, int64_t expiry,
                                apr_pool_t* pool) = 0;
  // The scan reached the directory's end: the count limit is applied.
  virtual void OnScanComplete() = 0;

  bool HasAgeLimit() const { return m_MaxFileAge > 0; }
  bool HasCountLimit() const { return m_MaxFileCount > 0; }
  ScanLimits GetScanLimits() const;
  // The present by the store's clock (APR time).
  int64_t Now() const;
  // A started one-shot timer of this store that deletes itself once
  // stopped, or null when it could not be started. Intervals below 1 ms are
  // raised to 1 ms, since a timer of no interval is never queued.
  Timer* StartExpirationTimer(int64_t interval_ms);

 private:
  bool MakeDirectory(apr_pool_t* pool);
  // Walks up to `count` matching files of the open scan: deletes those that
  // purge-existing or the age limit condemn and adopts the others. Other
  // files and subdirectories are left alone. False at the directory's end.
  bool ScanDirectory(size_t count);
  void CloseScan();

  const LogFacility& m_Facility;
  std::string m_Directory;
  bool m_PurgeExisting = false;
  int64_t m_MaxFileCount = 100;
  int64_t m_MaxFileAge = 0;
  std::string m_FilePrefix;
  std::string m_FileExtension;
  AsyncEventTimerProcessor* m_TimerProcessor = nullptr;
  Clock m_Clock;
  // The scan in progress: its own pool, the open directory and its limits.
  apr_pool_t* m_ScanPool = nullptr;
  apr_dir_t* m_ScanDir = nullptr;
  ScanLimits m_ScanLimits;
};

}  // namespace Ambrel
