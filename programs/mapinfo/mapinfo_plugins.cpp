#include "programs/mapinfo/mapinfo_plugins.h"

#include <dlfcn.h>
#include <limits.h>
#include <mapconv/version.h>
#include <unistd.h>

#include <cstring>

namespace {

struct Loaded {
  const void* functions;
  std::string why;
};

// The folder of the running mapinfo, its links resolved, with a final slash;
// empty when the system does not say.
std::string program_folder() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return {};
  const std::string whole(path, static_cast<std::size_t>(length));
  return whole.substr(0, whole.rfind('/') + 1);
}

// Loads the module file, from where it is installed beside mapinfo, else
// from mapinfo's own folder (the build tree), and returns its table. A
// module never unloads: the tables stay valid until the process ends.
template <typename Functions>
Loaded load(const char* file, const char* table_name) {
  const std::string folder = program_folder();
  if (folder.empty()) return {nullptr, std::string("cannot find the folder of mapinfo, where ") + file + " is"};
  const std::string places[] = {folder + MAPINFO_PLUGIN_FOLDER "/", folder};
  for (const std::string& place : places) {
    const std::string path = place + file;
    if (access(path.c_str(), F_OK) != 0) continue;
    // Every symbol bound now: a missing one fails here, not halfway through a file.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      const char* error = dlerror();
      return {nullptr, error != nullptr ? error : "cannot load " + path};
    }
    const auto* table = static_cast<const PluginTable<Functions>*>(dlsym(module, table_name));
    if (table == nullptr) return {nullptr, path + " is not a module of mapinfo"};
    if (std::strcmp(table->version, MAPCONV_VERSION) != 0 || table->size != sizeof(PluginTable<Functions>)) {
      return {nullptr, path + " is from another build of mapinfo (version " + table->version + ")"};
    }
    return {&table->functions, {}};
  }
  return {nullptr, std::string("no ") + file + " in " + places[0] + " or " + places[1]};
}

template <typename Functions>
const Functions* result(const Loaded& loaded, std::string* why) {
  if (loaded.functions == nullptr) *why = loaded.why;
  return static_cast<const Functions*>(loaded.functions);
}

}  // namespace

namespace mapinfo_plugins {

#ifdef MAPINFO_X3P
const X3pFunctions* x3p(std::string* why) {
  static const Loaded loaded = load<X3pFunctions>("mapinfo-x3p.so", MAPINFO_NAME_OF(MAPINFO_X3P_TABLE));
  return result<X3pFunctions>(loaded, why);
}
#endif

const PictureFunctions* pictures(std::string* why) {
  static const Loaded loaded = load<PictureFunctions>("mapinfo-picture.so", MAPINFO_NAME_OF(MAPINFO_PICTURE_TABLE));
  return result<PictureFunctions>(loaded, why);
}

}  // namespace mapinfo_plugins
