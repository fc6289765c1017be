// Directory layout of the host toolkit (apt.h): the host's folders, held as
// NUL-terminated paths in the layout's pool.

#include <string.h>

#include <apr_strings.h>

#include "vxhost/apt.h"

struct apt_dir_layout_t {
  const char* paths[APT_LAYOUT_DIR_COUNT];
};

namespace {

const char* const kDefaultSubdirs[APT_LAYOUT_DIR_COUNT] = {"conf", "plugin", "log", "data", "var"};

bool ValidEntry(apt_dir_entry_id id) { return id >= 0 && id < APT_LAYOUT_DIR_COUNT; }

// dir + "/" + name, without doubling a slash the directory already ends with.
char* JoinPath(const char* dir, const char* name, apr_pool_t* pool) {
  if (!dir || !name || !pool) return NULL;
  const size_t length = strlen(dir);
  const bool has_slash = length > 0 && dir[length - 1] == '/';
  return apr_pstrcat(pool, dir, has_slash ? "" : "/", name, (char*)NULL);
}

char* EntryFilePath(const apt_dir_layout_t* layout, apt_dir_entry_id id, const char* file_name,
                    apr_pool_t* pool) {
  if (!layout) return NULL;
  return JoinPath(layout->paths[id], file_name, pool);
}

}  // namespace

extern "C" {

APT_DECLARE(apt_dir_layout_t*) apt_dir_layout_create(apr_pool_t* pool) {
  if (!pool) return NULL;
  return static_cast<apt_dir_layout_t*>(apr_pcalloc(pool, sizeof(apt_dir_layout_t)));
}

APT_DECLARE(apt_dir_layout_t*) apt_default_dir_layout_create(const char* root_dir,
                                                             apr_pool_t* pool) {
  apt_dir_layout_t* layout = apt_dir_layout_create(pool);
  if (!layout) return NULL;
  const char* root = (root_dir && *root_dir) ? root_dir : ".";
  for (int i = 0; i < APT_LAYOUT_DIR_COUNT; ++i) {
    layout->paths[i] = JoinPath(root, kDefaultSubdirs[i], pool);
  }
  return layout;
}

APT_DECLARE(apt_bool_t) apt_dir_layout_path_set(apt_dir_layout_t* layout, apt_dir_entry_id id,
                                                const char* path, apr_pool_t* pool) {
  if (!layout || !ValidEntry(id) || !pool) return FALSE;
  layout->paths[id] = path ? apr_pstrdup(pool, path) : NULL;
  return TRUE;
}

APT_DECLARE(const char*) apt_dir_layout_path_get(const apt_dir_layout_t* layout,
                                                 apt_dir_entry_id id) {
  if (!layout || !ValidEntry(id)) return NULL;
  return layout->paths[id];
}

APT_DECLARE(char*) apt_confdir_filepath_get(const apt_dir_layout_t* layout, const char* file_name,
                                            apr_pool_t* pool) {
  return EntryFilePath(layout, APT_LAYOUT_CONF_DIR, file_name, pool);
}

APT_DECLARE(char*) apt_vardir_filepath_get(const apt_dir_layout_t* layout, const char* file_name,
                                           apr_pool_t* pool) {
  return EntryFilePath(layout, APT_LAYOUT_VAR_DIR, file_name, pool);
}

APT_DECLARE(char*) apt_datadir_filepath_get(const apt_dir_layout_t* layout, const char* file_name,
                                            apr_pool_t* pool) {
  return EntryFilePath(layout, APT_LAYOUT_DATA_DIR, file_name, pool);
}

}  // extern "C"
