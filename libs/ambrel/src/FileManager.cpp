#include "ambrel/FileManager.h"

namespace Ambrel {

FileManager::FileManager(const LogFacility& facility) : Base(facility) {}

FileManager::~FileManager() = default;

bool FileManager::AddFileEntry(const std::string& name, int64_t time) {
  return AddFileEntry(CreateFileEntry(name, time));
}

FileManager::FileEntry* FileManager::CreateFileEntry(const std::string& name, int64_t time) {
  return new FileEntry(name, time);
}

void FileManager::LogV(LogLevel level, const char* file, int line, const char* format,
                       va_list args) const {
  FacilityLogV(GetLogFacility(), level, file, line, format, args);
}

FileManager::FileEntry* FileManager::CreateScannedEntry(const std::string& name, int64_t time,
                                                        apr_pool_t* /*pool*/) {
  return CreateFileEntry(name, time);
}

}  // namespace Ambrel
