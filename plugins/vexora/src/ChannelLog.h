// Channel log lines end with "<channel-id@vxs>"; this macro appends that
// mark to every message. For use inside Channel member functions.
#pragma once

#include "Plugin.h"

#define VXS_CHANNEL_LOG(priority, format, ...)                                                \
  apt_log(VXS_PLUGIN, APT_LOG_MARK, priority, format " <%s@%s>", ##__VA_ARGS__, GetId(), \
          VXS_CHANNEL_MARK)
