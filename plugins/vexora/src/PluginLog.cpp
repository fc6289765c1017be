#include "Plugin.h"

// Points to the host's default source until mrcp_plugin_log_source_set
// assigns the module's own.
apt_log_source_t* VXS_PLUGIN = apt_def_log_source_get();
