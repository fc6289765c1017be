// The symbols the host looks up by name when it loads the module.
#include "Plugin.h"

#include "PluginBindings.h"

extern "C" {

// The plug-in interface version this module is built for.
__attribute__((visibility("default"))) extern const mrcp_plugin_version_t mrcp_plugin_version;
const mrcp_plugin_version_t mrcp_plugin_version = {1, 7, 0, 0};

__attribute__((visibility("default"))) apt_bool_t mrcp_plugin_logger_set(apt_logger_t* logger) {
  apt_log_instance_set(logger);
  return TRUE;
}

__attribute__((visibility("default"))) apt_bool_t mrcp_plugin_log_source_set(
    apt_log_source_t* source) {
  apt_def_log_source_set(source);
  return apt_log_source_assign("VXS-PLUGIN", &VXS_PLUGIN);
}

__attribute__((visibility("default"))) mrcp_engine_t* mrcp_plugin_create(apr_pool_t* pool) {
  try {
    return VXS::CreatePluginEngine(pool);
  } catch (...) {
    VXS::LogCurrentException("Failed to Create Engine");
    return nullptr;
  }
}

}  // extern "C"
