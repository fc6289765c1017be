#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

#include <apr_pools.h>

#include "ambrel/FileStoreBase.h"
#include "ambrel/Timer.h"

namespace Ambrel {

// A managed-file store whose entries are indexed in the order that Order
// gives: the front of the index is the first to go when the count limit
// bites. Manager is the concrete store deriving from this class; its entries'
// hooks receive it. Order provides
//   using Key;                                   // strict weak order by <
//   static Key MakeKey(int64_t time, uint64_t usage);
//   static constexpr bool kCheckTimerMap;        // warn on timer-map misuse
// Runs on the timer processor's thread only. Owns its entries (once added)
// and their pending expiration timers; files stay on disk when it is
// destroyed. Destroy it after its timer processor's loop has ended, or on
// that thread, so that no timer callback reaches a destroyed store.
template <class Manager, class Order>
class BasicFileManager : public FileStoreBase {
 public:
  // One managed file. Owned by its creator until added, then by the store.
  class FileEntry {
   public:
    FileEntry(const std::string& name, int64_t time) : m_Name(name), m_Time(time) {}
    virtual ~FileEntry() = default;

    FileEntry(const FileEntry&) = delete;
    FileEntry& operator=(const FileEntry&) = delete;

    // Called when the store takes the entry in and when it lets it go.
    virtual void OnRegister(Manager* /*manager*/) {}
    virtual void OnUnregister(Manager* /*manager*/) {}

    std::string m_Name;         // relative to the store's directory
    int64_t m_Time;             // APR time the file was made
    int64_t m_Expiry = 0;       // APR time it is to be deleted; 0 when never
    uint64_t m_Usage = 0;       // use count
    Timer* m_Timer = nullptr;   // pending expiration timer, not owned by the entry
  };

  using Key = typename Order::Key;
  using FileIndex = std::multimap<Key, FileEntry*>;  // equal keys in insertion order
  using TimerMap = std::map<Timer*, FileEntry*>;
  // The entries by name, so that replacing or removing a file by name does
  // not walk the whole index; the keys view the entries' own names.
  using NameIndex = std::unordered_multimap<std::string_view, FileEntry*>;

  ~BasicFileManager() override { BasicFileManager::DestroyFileEntries(); }

  void OnTimerStopped(Timer* /*timer*/) override {}
  // An expiration timer fired: deletes its file and forgets the entry.
  void OnTimeoutElapsed(Timer* timer) override;

  // Stops every timer and deletes every entry; no file is touched.
  virtual void DestroyFileEntries();
  // Takes ownership of entry, making room for it first so that it is never
  // the one evicted, and starts its expiration timer. False for null.
  virtual bool AddFileEntry(FileEntry* entry);
  // Deletes the entry's file and stops its timer, but leaves the entry in
  // the index and alive; callers erase and delete it. False for null.
  virtual bool RemoveFileEntry(FileEntry* entry);
  // Removes, deletes and forgets an entry of that name.
  virtual bool RemoveFileEntry(const std::string& name);
  // True when an entry of that name is indexed.
  bool HasFileEntry(const std::string& name) const { return m_NameIndex.count(name) > 0; }
  // Removes, deletes and forgets this very entry; false when not indexed.
  bool DeleteFileEntry(FileEntry* entry);
  // Logs the consistency line after every change of the index.
  virtual void OnFileEntryChnage();

  size_t GetEntryCount() const { return m_FileIndex.size(); }
  size_t GetTimerCount() const { return m_TimerMap.size(); }
  const FileIndex& GetFileIndex() const { return m_FileIndex; }

 protected:
  explicit BasicFileManager(const LogFacility& facility) : FileStoreBase(facility) {}

  // Makes the entry for a file found by the start-up scan (not yet added).
  virtual FileEntry* CreateScannedEntry(const std::string& name, int64_t time,
                                        apr_pool_t* pool) = 0;

  void AdoptScannedFile(const std::string& name, int64_t change_time, int64_t expiry,
                        apr_pool_t* pool) override;
  void OnScanComplete() override;

  const TimerMap& GetTimerMap() const { return m_TimerMap; }
  // The position of this very entry, or the end of the index.
  typename FileIndex::iterator FindFileEntry(FileEntry* entry);
  // Evicts from the front of the index until extra more entries fit.
  void CheckMaxFileCount(uint64_t extra);
  bool AddExpirationTimer(Timer* timer, FileEntry* entry);
  bool RemoveExpirationTimer(Timer* timer);
  // Files the entry again under a new use count; false when not indexed.
  bool RefileFileEntry(FileEntry* entry, uint64_t usage);

 private:
  Manager* Self() { return static_cast<Manager*>(this); }
  static Key KeyOf(const FileEntry* entry) { return Order::MakeKey(entry->m_Time, entry->m_Usage); }
  void IndexFileEntry(FileEntry* entry);
  // Takes the entry out of the index at pos (and out of the name index).
  void UnindexFileEntry(typename FileIndex::iterator pos);
  void SetExpirationTimer(FileEntry* entry, int64_t expiry, int64_t interval_ms);

  FileIndex m_FileIndex;
  NameIndex m_NameIndex;
  TimerMap m_TimerMap;  // one pair per pending expiration timer
};

template <class Manager, class Order>
void BasicFileManager<Manager, Order>::IndexFileEntry(FileEntry* entry) {
  m_FileIndex.emplace(KeyOf(entry), entry);
  m_NameIndex.emplace(std::string_view(entry->m_Name), entry);
  entry->OnRegister(Self());
}

template <class Manager, class Order>
void BasicFileManager<Manager, Order>::UnindexFileEntry(typename FileIndex::iterator pos) {
  FileEntry* entry = pos->second;
  auto named = m_NameIndex.equal_range(std::string_view(entry->m_Name));
  for (auto it = named.first; it != named.second; ++it) {
    if (it->second != entry) continue;
    m_NameIndex.erase(it);
    break;
  }
  m_FileIndex.erase(pos);
}

template <class Manager, class Order>
void BasicFileManager<Manager, Order>::SetExpirationTimer(FileEntry* entry, int64_t expiry,
                                                          int64_t interval_ms) {
  entry->m_Expiry = expiry;
  Timer* timer = StartExpirationTimer(interval_ms);
  if (!timer) return;
  AddExpirationTimer(timer, entry);
  entry->m_Timer = timer;
}

template <class Manager, class Order>
void BasicFileManager<Manager, Order>::AdoptScannedFile(const std::string& name,
                                                        int64_t change_time, int64_t expiry,
                                                        apr_pool_t* pool) {
  // A scan in slices can reach a file that was written, and indexed, after
  // it began: that entry is already the file's own.
  if (HasFileEntry(name)) return;
  FileEntry* entry = CreateScannedEntry(name, change_time, pool);
  if (!entry) return;
  // Its timer waits for the scan's end, when the count limit has had its
  // say.
  if (GetTimerProcessor()) entry->m_Expiry = expiry;
  IndexFileEntry(entry);
}

template <class Manager, class Order>
void BasicFileManager<Manager, Order>::OnScanComplete() {
  CheckMaxFileCount(0);
  if (GetTimerProcessor()) {
    const int64_t now = Now();
    for (auto& item : m_FileIndex) {
      FileEntry* entry = item.second;
      // Entries added while the scan went on have their timers already.
      if (entry->m_Expiry <= 0 || entry->m_Timer) continue;
      const int64_t remaining = entry->m_Expiry - now;
      Log(LOG_DEBUG, AMBREL_LOG_MARK, "Set expiration timer for file %s [%lu min]",
          entry->m_Name.c_str(), static_cast<unsigned long>(remaining / 60000000));
      SetExpirationTimer(entry, entry->m_Expiry, remaining / 1000);
    }
  }
  OnFileEntryChnage();
}

template <class Manager, class Order>
bool BasicFileManager<Manager, Order>::AddFileEntry(FileEntry* entry) {
  if (!entry) return false;
  // While a scan in slices goes on, the entries it has not reached yet
  // have their say in what is evicted only at its end.
  if (!IsLoadingFileEntries()) CheckMaxFileCount(1);
  IndexFileEntry(entry);
  if (HasAgeLimit() && GetTimerProcessor()) {
    const int64_t age = GetMaxFileAge();
    Log(LOG_DEBUG, AMBREL_LOG_MARK, "Set expiration timer for file %s [%lu min]",
        entry->m_Name.c_str(), static_cast<unsigned long>(age));
    // The full age from now, whatever the entry's time says.
    SetExpirationTimer(entry, entry->m_Time + age * 60000000, age * 60000);
  }
  OnFileEntryChnage();
  return true;
}

template <class Manager, class Order>
void BasicFileManager<Manager, Order>::CheckMaxFileCount(uint64_t extra) {
  if (!HasCountLimit()) return;
  const uint64_t limit = static_cast<uint64_t>(GetMaxFileCount());
  const uint64_t total = m_FileIndex.size() + extra;
  if (total <= limit) return;
  for (uint64_t excess = total - limit; excess > 0 && !m_FileIndex.empty(); --excess) {
    auto pos = m_FileIndex.begin();
    FileEntry* entry = pos->second;
    Log(LOG_NOTICE, AMBREL_LOG_MARK, "Remove file %s [max file count]", entry->m_Name.c_str());
    RemoveFileEntry(entry);
    UnindexFileEntry(pos);
    delete entry;
  }
}

template <class Manager, class Order>
bool BasicFileManager<Manager, Order>::RemoveFileEntry(FileEntry* entry) {
  if (!entry) return false;
  if (Timer* timer = entry->m_Timer) {
    RemoveExpirationTimer(timer);
    // Deletes itself once the stop has been processed.
    timer->Stop();
  }
  RemoveManagedFile(entry->m_Name);
  entry->OnUnregister(Self());
  return true;
}

template <class Manager, class Order>
bool BasicFileManager<Manager, Order>::RemoveFileEntry(const std::string& name) {
  auto named = m_NameIndex.find(std::string_view(name));
  return named != m_NameIndex.end() && DeleteFileEntry(named->second);
}

template <class Manager, class Order>
bool BasicFileManager<Manager, Order>::DeleteFileEntry(FileEntry* entry) {
  auto pos = FindFileEntry(entry);
  if (pos == m_FileIndex.end()) return false;
  RemoveFileEntry(entry);
  UnindexFileEntry(pos);
  delete entry;
  OnFileEntryChnage();
  return true;
}

template <class Manager, class Order>
typename BasicFileManager<Manager, Order>::FileIndex::iterator
BasicFileManager<Manager, Order>::FindFileEntry(FileEntry* entry) {
  if (!entry) return m_FileIndex.end();
  auto range = m_FileIndex.equal_range(KeyOf(entry));
  for (auto pos = range.first; pos != range.second; ++pos) {
    if (pos->second == entry) return pos;
  }
  return m_FileIndex.end();
}

template <class Manager, class Order>
bool BasicFileManager<Manager, Order>::RefileFileEntry(FileEntry* entry, uint64_t usage) {
  auto pos = FindFileEntry(entry);
  if (pos == m_FileIndex.end()) return false;
  m_FileIndex.erase(pos);
  entry->m_Usage = usage;
  m_FileIndex.emplace(KeyOf(entry), entry);
  OnFileEntryChnage();
  return true;
}

template <class Manager, class Order>
bool BasicFileManager<Manager, Order>::AddExpirationTimer(Timer* timer, FileEntry* entry) {
  if (m_TimerMap.emplace(timer, entry).second || !Order::kCheckTimerMap) return true;
  Log(LOG_WARNING, AMBREL_LOG_MARK, "Failed to add expiration timer %s",
      entry ? entry->m_Name.c_str() : "");
  return false;
}

template <class Manager, class Order>
bool BasicFileManager<Manager, Order>::RemoveExpirationTimer(Timer* timer) {
  if (m_TimerMap.erase(timer) > 0 || !Order::kCheckTimerMap) return true;
  Log(LOG_WARNING, AMBREL_LOG_MARK, "Failed to remove expiration timer");
  return false;
}

template <class Manager, class Order>
void BasicFileManager<Manager, Order>::OnTimeoutElapsed(Timer* timer) {
  auto mapped = m_TimerMap.find(timer);
  if (mapped == m_TimerMap.end() || !mapped->second) return;
  FileEntry* entry = mapped->second;
  if (entry->m_Timer == timer) {
    entry->m_Timer = nullptr;
  } else {
    // The entry's own timer stays set, so that removing the entry below also
    // unmaps and stops it instead of leaving it pointing at a deleted entry.
    Log(LOG_WARNING, AMBREL_LOG_MARK, "Mismatch in expired timer for %s", entry->m_Name.c_str());
  }
  m_TimerMap.erase(mapped);
  // An elapsed one-shot timer is its handler's to delete.
  delete timer;

  Log(LOG_NOTICE, AMBREL_LOG_MARK, "Remove file %s [timed out]", entry->m_Name.c_str());
  auto pos = FindFileEntry(entry);
  if (pos == m_FileIndex.end()) {
    Log(LOG_WARNING, AMBREL_LOG_MARK, "Failed to remove file %s", entry->m_Name.c_str());
  } else {
    RemoveFileEntry(entry);
    UnindexFileEntry(pos);
    delete entry;
  }
  OnFileEntryChnage();
}

template <class Manager, class Order>
void BasicFileManager<Manager, Order>::OnFileEntryChnage() {
  const int entries = static_cast<int>(m_FileIndex.size());
  const int timers = static_cast<int>(m_TimerMap.size());
  const char* name = GetLogFacility().GetName().c_str();
  Log(LOG_NOTICE, AMBREL_LOG_MARK, "%s total file entries [%d] timers [%d]", name, entries,
      timers);
  // The entries a scan in slices has reached get their timers at its end.
  if (HasAgeLimit() && entries != timers && !IsLoadingFileEntries()) {
    Log(LOG_WARNING, AMBREL_LOG_MARK, "Mismatch in %s total file entries [%d] timers [%d]", name,
        entries, timers);
  }
}

template <class Manager, class Order>
void BasicFileManager<Manager, Order>::DestroyFileEntries() {
  for (auto& item : m_TimerMap) item.first->Stop();
  m_TimerMap.clear();
  m_NameIndex.clear();
  for (auto& item : m_FileIndex) delete item.second;
  m_FileIndex.clear();
}

}  // namespace Ambrel
