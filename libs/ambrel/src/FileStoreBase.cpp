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

FileStoreBase::~FileStoreBase() { CloseScan(); }

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

bool FileStoreBase::LoadFileEntries() { return BeginLoadFileEntries(SIZE_MAX); }

bool FileStoreBase::BeginLoadFileEntries(size_t count) {
  CloseScan();
  if (apr_pool_create(&m_ScanPool, nullptr) != APR_SUCCESS) {
    m_ScanPool = nullptr;
    return false;
  }
  if (!MakeDirectory(m_ScanPool)) {
    CloseScan();
    return false;
  }
  if (apr_dir_open(&m_ScanDir, m_Directory.c_str(), m_ScanPool) != APR_SUCCESS) {
    // An unreadable directory is indexed as empty, as a scan that found
    // nothing would be.
    m_ScanDir = nullptr;
    CloseScan();
    return true;
  }
  m_ScanLimits = GetScanLimits();
  Log(LOG_NOTICE, AMBREL_LOG_MARK,
      "Populate files from %s pattern [%s] max-count [%d] max-age [%d min] purge-existing [%d]",
      m_Directory.c_str(), GetFilePattern().c_str(), static_cast<int>(m_MaxFileCount),
      static_cast<int>(m_MaxFileAge), m_PurgeExisting ? 1 : 0);
  ContinueLoadFileEntries(count);
  return true;
}

bool FileStoreBase::ContinueLoadFileEntries(size_t count) {
  if (!m_ScanDir) return false;
  if (ScanDirectory(count)) return true;
  CloseScan();
  OnScanComplete();
  return false;
}

void FileStoreBase::CloseScan() {
  if (m_ScanDir) apr_dir_close(m_ScanDir);
  m_ScanDir = nullptr;
  if (m_ScanPool) apr_pool_destroy(m_ScanPool);
  m_ScanPool = nullptr;
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

int64_t FileStoreBase::Now() const { return ReadClock(m_Clock); }

FileStoreBase::ScanLimits FileStoreBase::GetScanLimits() const {
  ScanLimits limits;
  if (HasAgeLimit() && !m_PurgeExisting) {
    limits.m_Now = ReadClock(m_Clock);
    limits.m_AgeLimit = m_MaxFileAge * kMicrosPerMinute;
  }
  return limits;
}

bool FileStoreBase::ScanDirectory(size_t count) {
  const std::string pattern = GetFilePattern();
  // Only the files that match are looked at: the name and type come from
  // the directory itself, and one stat per matching file gives its time,
  // so that the descriptors and other files beside them cost no stat.
  apr_finfo_t finfo;
  const apr_int32_t listed = APR_FINFO_NAME | APR_FINFO_TYPE;
  for (size_t taken = 0; taken < count;) {
    const apr_status_t status = apr_dir_read(&finfo, listed, m_ScanDir);
    if (status != APR_SUCCESS && status != APR_INCOMPLETE) return false;
    if (!finfo.name || (finfo.valid & APR_FINFO_TYPE) == 0) continue;
    if (finfo.filetype != APR_REG && finfo.filetype != APR_UNKFILE) continue;
    if (apr_fnmatch(pattern.c_str(), finfo.name, 0) != APR_SUCCESS) continue;

    const std::string name = finfo.name;
    const std::string path = m_Directory + name;
    apr_finfo_t file;
    // An entry that vanished before it could be looked at is passed over,
    // and a link is not followed.
    if (apr_stat(&file, path.c_str(), APR_FINFO_LINK | APR_FINFO_TYPE | APR_FINFO_CTIME,
                 m_ScanPool) !=
            APR_SUCCESS ||
        file.filetype != APR_REG) {
      continue;
    }
    ++taken;
    Log(LOG_DEBUG, AMBREL_LOG_MARK, "Found file %s", name.c_str());
    const ScanLimits& limits = m_ScanLimits;
    if (m_PurgeExisting) {
      Log(LOG_NOTICE, AMBREL_LOG_MARK, "Remove file %s [purge existing]", name.c_str());
      RemoveManagedFile(name);
    } else if (limits.m_AgeLimit == 0) {
      AdoptScannedFile(name, file.ctime, 0, m_ScanPool);
    } else if (file.ctime + limits.m_AgeLimit > limits.m_Now) {
      AdoptScannedFile(name, file.ctime, file.ctime + limits.m_AgeLimit, m_ScanPool);
    } else {
      Log(LOG_NOTICE, AMBREL_LOG_MARK, "Remove file %s [max file age]", name.c_str());
      RemoveManagedFile(name);
    }
  }
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
