// Module-wide declarations: the module's log source and the helpers shared
// by the engine's configuration code.
#pragma once

#include <apr_pools.h>

#include <string>

#include "vxhost/apt.h"
#include "vxhost/mrcp.h"

// The module's log source; every log statement of the module passes it to
// apt_log. Points to the host's default source until the host assigns one.
// Exported data: a host looks it up by name in the loaded module.
extern "C" __attribute__((visibility("default"))) apt_log_source_t* VXS_PLUGIN;

// The fixed mark that ends every channel log line: "<channel-id@vxs>".
#define VXS_CHANNEL_MARK "vxs"

namespace VXS {

// The newest regular file matching a path pattern ("dir/name*.json"), as a
// full path in result. False when the directory cannot be opened or nothing
// matches; result is then left untouched.
bool file_search(std::string& result, const std::string& path_pattern, apr_pool_t* pool);

}  // namespace VXS
