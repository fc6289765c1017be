#include "FileManager.h"

#include "Plugin.h"

namespace VXS {

FileManager::FileManager(const Ambrel::LogFacility& facility) : Base(facility) {}

FileManager::~FileManager() = default;

bool FileManager::AddFileEntry(const std::string& name, int64_t time, apr_pool_t* pool) {
  return AddFileEntry(CreateFileEntry(name, time, pool));
}

FileManager::FileEntry* FileManager::CreateFileEntry(const std::string& name, int64_t time,
                                                     apr_pool_t* /*pool*/) {
  return new FileEntry(name, time);
}

bool FileManager::UpdateFileEntryUsage(FileEntry* entry, uint64_t usage) {
  return RefileFileEntry(entry, usage);
}

void FileManager::LogV(Ambrel::LogLevel level, const char* file, int line, const char* format,
                       va_list args) const {
  // The framework's levels are the host's priorities.
  apt_va_log(VXS_PLUGIN, file, line, static_cast<apt_log_priority_e>(level), format, args);
}

FileManager::FileEntry* FileManager::CreateScannedEntry(const std::string& name, int64_t time,
                                                        apr_pool_t* pool) {
  return CreateFileEntry(name, time, pool);
}

}  // namespace VXS
