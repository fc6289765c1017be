#include "ambrel/FileStoreBase.h"

#include <unistd.h>

#include <algorithm>

#include <apr_file_info.h>
#include <apr_fnmatch.h>

#include "ambrel/EventProcessor.h"

namespace Ambrel {

namespace {

constexpr int64_t kMicrosPerMinute = 60 * 1000000LL;

}  // namespace

FileStoreBase::FileStoreBase(const LogFacility& facility) : m_Facility(facility) {}

FileStoreBase::~FileStoreBase() = default;

void FileStoreBase::SetDirectory(const std::string& directory) {
  m_Directory = directory;
  if (!m_Directory.empty() && m_Directory.back() != '/') m_Directory += '/';
}

std::string FileStoreBase::GetFilePattern() const {
  return m_FilePrefix + "*" + m_FileExtension;
}

void FileStoreBase::Log(LogLevel level, const char* file, int line, const char* format,
                        ...) const {
  va_list args;
  va_start(args, format);
  LogV(level, file, line, format, args);
  va_end(args);
}

bool FileStoreBase::LoadFileEntries() {
  apr_pool_t* pool = nullptr;
  if (apr_pool_create(&pool, nullptr) != APR_SUCCESS) return false;
  const bool made = MakeDirectory(pool);
  if (made) PopulateFileEntries(pool);
  apr_pool_destroy(pool);
  return made;
}

bool FileStoreBase::MakeDirectory(apr_pool_t* pool) {
  apr_finfo_t finfo;
  if (apr_stat(&finfo, m_Directory.c_str(), APR_FINFO_TYPE, pool) == APR_SUCCESS &&
      finfo.filetype == APR_DIR) {
    return true;
  }
  Log(LOG_INFO, AMBREL_LOG_MARK, "Create directory %s", m_Directory.c_str());
  // The search bit is what lets the process create and open files inside.
  const apr_fileperms_t perms = APR_FPROT_UREAD | APR_FPROT_UWRITE | APR_FPROT_UEXECUTE;
  if (apr_dir_make_recursive(m_Directory.c_str(), perms, pool) != APR_SUCCESS) {
    Log(LOG_WARNING, AMBREL_LOG_MARK, "Failed to create directory %s", m_Directory.c_str());
    return false;
  }
  return true;
}

FileStoreBase::ScanLimits FileStoreBase::GetScanLimits() const {
  ScanLimits limits;
  if (HasAgeLimit() && !m_PurgeExisting) {
    limits.m_Now = ReadClock(m_Clock);
    limits.m_AgeLimit = m_MaxFileAge * kMicrosPerMinute;
  }
  return limits;
}

bool FileStoreBase::ScanDirectory(apr_pool_t* pool, const ScanLimits& limits) {
  apr_dir_t* dir = nullptr;
  if (apr_dir_open(&dir, m_Directory.c_str(), pool) != APR_SUCCESS) return false;

  const std::string pattern = GetFilePattern();
  Log(LOG_NOTICE, AMBREL_LOG_MARK,
      "Populate files from %s pattern [%s] max-count [%d] max-age [%d min] purge-existing [%d]",
      m_Directory.c_str(), pattern.c_str(), static_cast<int>(m_MaxFileCount),
      static_cast<int>(m_MaxFileAge), m_PurgeExisting ? 1 : 0);

  apr_finfo_t finfo;
  const apr_int32_t wanted = APR_FINFO_NAME | APR_FINFO_TYPE | APR_FINFO_CTIME;
  for (;;) {
    const apr_status_t status = apr_dir_read(&finfo, wanted, dir);
    if (status != APR_SUCCESS && status != APR_INCOMPLETE) break;
    // An entry that vanished before it could be looked at lacks the fields.
    if ((finfo.valid & (APR_FINFO_TYPE | APR_FINFO_CTIME)) != (APR_FINFO_TYPE | APR_FINFO_CTIME)) {
      continue;
    }
    if (finfo.filetype != APR_REG || !finfo.name) continue;
    if (apr_fnmatch(pattern.c_str(), finfo.name, 0) != APR_SUCCESS) continue;

    const std::string name = finfo.name;
    Log(LOG_DEBUG, AMBREL_LOG_MARK, "Found file %s", name.c_str());
    if (m_PurgeExisting) {
      Log(LOG_NOTICE, AMBREL_LOG_MARK, "Remove file %s [purge existing]", name.c_str());
      RemoveManagedFile(name);
    } else if (limits.m_AgeLimit == 0 || finfo.ctime + limits.m_AgeLimit > limits.m_Now) {
      AdoptScannedFile(name, finfo.ctime, pool);
    } else {
      Log(LOG_NOTICE, AMBREL_LOG_MARK, "Remove file %s [max file age]", name.c_str());
      RemoveManagedFile(name);
    }
  }
  apr_dir_close(dir);
  return true;
}

Timer* FileStoreBase::StartExpirationTimer(int64_t interval_ms) {
  auto* timer =
      new Timer(this, std::max<int64_t>(interval_ms, 1), Timer::ONE_SHOT, Timer::LIFETIME_AUTO);
  if (!timer->Start(m_TimerProcessor)) {
    delete timer;
    return nullptr;
  }
  return timer;
}

bool FileStoreBase::RemoveManagedFile(const std::string& name) {
  const std::string path = m_Directory + name;
  return ::unlink(path.c_str()) == 0;
}

}  // namespace Ambrel
