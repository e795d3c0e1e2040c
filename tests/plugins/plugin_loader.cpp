// SPDX-License-Identifier: MIT
// plugin_loader <plugin> <text>: loads the plugin and has it log the text; exit status 0
// when that worked, 1 with a message on standard error when not.
#include <dlfcn.h>

#include <cstdio>

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: plugin_loader <plugin> <text>\n");
    return 1;
  }
  void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  void* report = plugin ? dlsym(plugin, "kite_plugin_report") : nullptr;
  if (report == nullptr) {
    std::fprintf(stderr, "plugin_loader: %s\n", dlerror());
    return 1;
  }
  reinterpret_cast<void (*)(const char*)>(report)(argv[2]);
  return 0;
}
