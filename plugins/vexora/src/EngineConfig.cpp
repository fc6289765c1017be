// The configuration document "vexora.xml": locating, parsing, dispatching
// its elements to their loaders, and validating the paths it names against
// the host's directory layout.
#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_strings.h>

#include <cstring>

#include "Engine.h"
#include "Plugin.h"

namespace VXS {

bool Engine::LoadConfig(const std::string& file_name, const std::string& root_name,
                        const apt_dir_layout_t* layout, apr_pool_t* pool) {
  if (!layout || !pool) return false;
  const char* path = apt_confdir_filepath_get(layout, file_name.c_str(), pool);
  if (!path) return false;
  apr_xml_doc* doc = ParseFile(path, pool);
  if (!doc) return false;
  if (!LoadDocument(root_name, doc, pool)) return false;
  return ValidateConfig(layout, pool);
}

apr_xml_doc* Engine::ParseFile(const std::string& path, apr_pool_t* pool) {
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Open Config File [%s]", path.c_str());
  apr_file_t* file = nullptr;
  if (apr_file_open(&file, path.c_str(), APR_FOPEN_READ | APR_FOPEN_BINARY, APR_OS_DEFAULT,
                    pool) != APR_SUCCESS) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open Config File [%s]",
            path.c_str());
    return nullptr;
  }
  // The document is fed to the parser one line at a time, so that the line
  // on which the parser gives up can be told to whoever has to mend it.
  apr_xml_parser* parser = apr_xml_parser_create(pool);
  apr_xml_doc* doc = nullptr;
  unsigned line = 1;
  char buffer[2000];
  apr_status_t status = APR_SUCCESS;
  apr_status_t read = APR_SUCCESS;
  while (status == APR_SUCCESS) {
    apr_size_t length = sizeof(buffer);
    read = apr_file_read(file, buffer, &length);
    if (read != APR_SUCCESS || length == 0) break;
    const char* start = buffer;
    const char* end = buffer + length;
    while (start < end && status == APR_SUCCESS) {
      const char* newline = static_cast<const char*>(memchr(start, '\n', end - start));
      const char* stop = newline ? newline + 1 : end;
      status = apr_xml_parser_feed(parser, start, stop - start);
      if (status == APR_SUCCESS && newline) ++line;
      start = stop;
    }
  }
  apr_file_close(file);
  char reason[256];
  if (status == APR_SUCCESS && read != APR_SUCCESS && !APR_STATUS_IS_EOF(read)) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Parse Config File [%s]: %s",
            path.c_str(), apr_strerror(read, reason, sizeof(reason)));
    return nullptr;
  }
  if (status != APR_SUCCESS) {
    apr_xml_parser_geterror(parser, reason, sizeof(reason));
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Failed to Parse Config File [%s] at line %u: %s", path.c_str(), line, reason);
    return nullptr;
  }
  // What is still open at the end (an element never closed, no element at
  // all) is found only here.
  if (apr_xml_parser_done(parser, &doc) != APR_SUCCESS) {
    apr_xml_parser_geterror(parser, reason, sizeof(reason));
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Failed to Parse Config File [%s] at its end: %s", path.c_str(), reason);
    return nullptr;
  }
  return doc;
}

bool Engine::LoadDocument(const std::string& root_name, const apr_xml_doc* doc, apr_pool_t* pool) {
  const apr_xml_elem* root = doc ? doc->root : nullptr;
  if (!root || !root->name || root_name != root->name) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Document");
    return false;
  }
  for (const apr_xml_attr* attr : GetAttributes(root)) {
    const char* value = attr->value ? attr->value : "";
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Document Attribute: %s = %s",
            attr->name, value);
    if (strcasecmp(attr->name, "gapp-credentials-file") == 0) {
      m_CredentialsFile = value;
    } else if (strcasecmp(attr->name, "ssl-roots-file") == 0) {
      m_SslRootsFile = value;
    } else {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Document Attribute <%s>",
              attr->name);
    }
  }
  for (const apr_xml_elem* elem = root->first_child; elem; elem = elem->next) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Loading Element %s", elem->name);
    LoadElement(elem, pool);
  }
  return true;
}

bool Engine::LoadElement(const apr_xml_elem* element, apr_pool_t*) {
  if (strcasecmp(element->name, "synth-settings") == 0) {
    m_SynthSettings.Load(element);
  } else if (strcasecmp(element->name, "waveform-manager") == 0) {
    m_WaveformManagerSettings.Load(element);
  } else if (strcasecmp(element->name, "sdr-manager") == 0) {
    m_SdrManagerSettings.Load(element);
  } else if (strcasecmp(element->name, "monitoring-agent") == 0) {
    m_MonitoringSettings.Load(element);
  } else {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Element <%s>", element->name);
    return false;
  }
  return true;
}

bool Engine::IsRelativePath(const std::string& path, apr_pool_t* pool) {
  const char* root_path = nullptr;
  const char* file_path = path.c_str();
  return apr_filepath_root(&root_path, &file_path, 0, pool) == APR_ERELATIVE;
}

bool Engine::CheckDirPath(std::string& path, const char* base_dir, apr_pool_t* pool) {
  if (!IsRelativePath(path, pool)) return true;
  char* merged = nullptr;
  if (apr_filepath_merge(&merged, base_dir, path.c_str(), APR_FILEPATH_NATIVE, pool) !=
      APR_SUCCESS) {
    return false;
  }
  path = merged;
  return true;
}

bool Engine::CheckFilePath(std::string& path, const char* base_dir, apr_pool_t* pool) {
  return CheckDirPath(path, base_dir, pool);
}

namespace {

bool IsRegularFile(const std::string& path, apr_pool_t* pool) {
  apr_finfo_t info;
  return apr_stat(&info, path.c_str(), APR_FINFO_TYPE, pool) == APR_SUCCESS &&
         info.filetype == APR_REG;
}

}  // namespace

bool Engine::ValidateConfig(const apt_dir_layout_t* layout, apr_pool_t* pool) {
  const char* var_dir = apt_dir_layout_path_get(layout, APT_LAYOUT_VAR_DIR);
  const char* status_dir = apt_vardir_filepath_get(layout, "status", pool);
  const char* data_dir = apt_dir_layout_path_get(layout, APT_LAYOUT_DATA_DIR);
  if (!var_dir || !status_dir || !data_dir) return false;

  if (!CheckDirPath(m_WaveformManagerSettings.m_WaveformFolder, var_dir, pool)) return false;
  if (!CheckDirPath(m_SdrManagerSettings.m_RecordFolder, var_dir, pool)) return false;
  if (!CheckFilePath(m_CredentialsFile, data_dir, pool)) return false;

  if (!IsRegularFile(m_CredentialsFile, pool)) {
    std::string found;
    if (!file_search(found, m_CredentialsFile, pool)) {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Find Credentials File %s",
              m_CredentialsFile.c_str());
      return false;
    }
    m_CredentialsFile = found;
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Determined Credentials File %s",
            m_CredentialsFile.c_str());
  }

  if (!m_SslRootsFile.empty()) {
    CheckFilePath(m_SslRootsFile, data_dir, pool);
    if (!IsRegularFile(m_SslRootsFile, pool)) {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Stat SSL Roots File %s",
              m_SslRootsFile.c_str());
      return false;
    }
  }

  StatusFileSettings* status_files[] = {
      &m_MonitoringSettings.m_UsageChangeHandler.m_UsageFile,
      &m_MonitoringSettings.m_UsageChangeHandler.m_ChannelsFile,
      &m_MonitoringSettings.m_UsageRefreshHandler.m_UsageFile,
      &m_MonitoringSettings.m_UsageRefreshHandler.m_ChannelsFile,
  };
  for (StatusFileSettings* status_file : status_files) {
    if (status_file->m_Enable) CheckFilePath(status_file->m_StatusFile, status_dir, pool);
  }
  if (!m_MonitoringSettings.m_MetricsFile.empty()) {
    CheckFilePath(m_MonitoringSettings.m_MetricsFile, status_dir, pool);
  }
  return true;
}

}  // namespace VXS
