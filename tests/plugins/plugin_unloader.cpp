// SPDX-License-Identifier: MIT
// plugin_unloader <plugin>: an ACE program that loads the plugin, has it log once from the
// main thread and once from a second thread, unloads it while that thread still runs, then ends
// the thread and returns from main. Exit status 0 when all of that worked, 1 with a message on
// standard error when the plugin cannot be loaded.
#include <dlfcn.h>

#include <cstdio>
#include <future>
#include <thread>

#include <ace/Object_Manager.h>

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: plugin_unloader <plugin>\n");
    return 1;
  }
  // An ACE program: ACE's object manager runs its exit hooks when main returns.
  if (ACE_Object_Manager::instance() == nullptr) return 1;
  void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  void* entry = plugin ? dlsym(plugin, "kite_plugin_report") : nullptr;
  if (entry == nullptr) {
    std::fprintf(stderr, "plugin_unloader: %s\n", dlerror());
    return 1;
  }
  auto report = reinterpret_cast<void (*)(const char*)>(entry);
  report("from the main thread");
  std::promise<void> logged, unloaded;
  std::thread thread([&] {
    report("from a thread");
    logged.set_value();
    unloaded.get_future().wait();  // its log stream goes at its end, after the unload
  });
  logged.get_future().wait();
  dlclose(plugin);
  unloaded.set_value();
  thread.join();
  return 0;
}
