// The CPU time a named thread of this process has used, for the load
// driver and the benchmarks that measure the engine thread's share.
#pragma once

#include <dirent.h>

#include <fstream>
#include <string>

namespace vxhost {

// CPU time so far of this process's thread named name (its comm), in ns,
// from the scheduler's statistics; -1 when no such thread is found.
inline long long ThreadCpuNs(const std::string& name) {
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return -1;
  long long ns = -1;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    const std::string dir = std::string("/proc/self/task/") + entry->d_name;
    std::ifstream comm(dir + "/comm");
    std::string thread;
    if (!std::getline(comm, thread) || thread != name) continue;
    std::ifstream schedstat(dir + "/schedstat");
    if (schedstat >> ns) break;
  }
  closedir(tasks);
  return ns;
}

}  // namespace vxhost
