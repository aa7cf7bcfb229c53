// The compact-reply checker in a module installed with the program and loaded on the first
// reply it checks, so that starting the program binds neither the JSON validator nor the
// shared C++ runtime it needs. Without the module every reply takes the general path. Built
// only where the program links its C++ runtime statically (Linux).
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "compact_json.h"

namespace kestil {
namespace {

using CheckFunction = int (*)(const char*, std::size_t, std::size_t);

constexpr std::string_view MODULE_NAME = "kestil-mcp-json.so";
// Where the module lies relative to the program: beside it in a build tree, and in
// <prefix>/lib/kestil-mcp for a program installed in <prefix>/bin.
constexpr std::string_view MODULE_DIRS[] = {"/", "/../lib/kestil-mcp/"};

std::string program_dir() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return std::string();
  std::string_view full(path, static_cast<std::size_t>(length));
  return std::string(full.substr(0, full.rfind('/')));
}

CheckFunction load_checker() {
  const std::string dir = program_dir();
  if (dir.empty()) return nullptr;
  for (std::string_view relative : MODULE_DIRS) {
    const std::string path = dir + std::string(relative) + std::string(MODULE_NAME);
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) continue;
    if (void* symbol = ::dlsym(module, "kestil_check_compact_reply")) {
      return reinterpret_cast<CheckFunction>(symbol);
    }
    ::dlclose(module);
  }
  return nullptr;
}

}  // namespace

CompactCheck check_compact_reply(std::string_view text, std::size_t readable) {
  static const CheckFunction check = load_checker();
  if (!check) return CompactCheck::declined;
  return to_compact_check(check(text.data(), text.size(), readable));
}

}  // namespace kestil
