// SPDX-License-Identifier: MIT
// Programs and plugins that link the shared libraries share one backend manager and one log
// stream per thread: the ACE singletons behind them are one object across the modules.
#include <dlfcn.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/recording_backend.h"
#include "support/run_program.h"

namespace {

// One loaded plugin and its entry points; stays loaded until the process ends, as
// plugins whose objects ACE cleans up at exit must.
class Plugin {
 public:
  explicit Plugin(const char* path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) throw std::runtime_error(dlerror());
  }

  KITE_LogMsg_BackendMgr* backend_manager() const {
    return entry<KITE_LogMsg_BackendMgr* (*)()>("kite_plugin_backend_manager")();
  }
  KITE_LogMsg_BackendMgr* ace_backend_manager() const {
    return entry<KITE_LogMsg_BackendMgr* (*)()>("kite_plugin_ace_backend_manager")();
  }
  KITE_LogMsg_Stream* log_stream() const {
    return entry<KITE_LogMsg_Stream* (*)()>("kite_plugin_log_stream")();
  }
  void report(const char* text) const { entry<void (*)(const char*)>("kite_plugin_report")(text); }

 private:
  template <class Function>
  Function entry(const char* name) const {
    void* symbol = dlsym(handle_, name);
    if (symbol == nullptr) throw std::runtime_error(dlerror());
    return reinterpret_cast<Function>(symbol);
  }

  void* handle_;
};

TEST(Plugins, ShareTheProgramsBackendManagerAndLogStreams) {
  const Plugin a(PLUGIN_A);
  const Plugin b(PLUGIN_B);
  for (const Plugin* plugin : {&a, &b}) {
    EXPECT_EQ(plugin->backend_manager(), kite_test::backend_manager());
    EXPECT_EQ(plugin->log_stream(), kite_test::log_stream());
  }
  std::thread([&] {
    EXPECT_EQ(a.log_stream(), kite_test::log_stream());
    EXPECT_EQ(b.log_stream(), kite_test::log_stream());
  }).join();

  kite_test::LogCapture capture;
  a.report("from plugin a");
  b.report("from plugin b");
  EXPECT_EQ(capture.texts(), (std::vector<std::string>{"from plugin a\n", "from plugin b\n"}));
}

// ACE's own way to the manager leads to the kit's one manager, in the program and in plugins.
TEST(Plugins, ShareTheBackendManagerThroughTheAceSingleton) {
  typedef ACE_Singleton<KITE_LogMsg_BackendMgr, ACE_Recursive_Thread_Mutex> AceManager;
  const Plugin a(PLUGIN_A);
  const Plugin b(PLUGIN_B);
  EXPECT_EQ(AceManager::instance(), kite_test::backend_manager());
  for (const Plugin* plugin : {&a, &b})
    EXPECT_EQ(plugin->ace_backend_manager(), kite_test::backend_manager());
}

TEST(Plugins, LogInAProgramThatDoesNotLinkTheKit) {
  for (const char* plugin : {PLUGIN_A, PLUGIN_STATIC}) {
    kite_test::ProgramRun run;
    run.path = PLUGIN_LOADER;
    run.args = {plugin, "hello from a plugin"};
    const kite_test::ProgramResult result = kite_test::run_program(run);
    EXPECT_EQ(result.err, "hello from a plugin\n") << plugin;
    EXPECT_EQ(result.out, "") << plugin;
    EXPECT_EQ(result.exit_code, 0) << plugin;
  }
}

// An ACE program unloads a plugin that logged, shared or static, while a thread that logged
// through it still runs; the thread ends after the unload and main returns. (g++ marks the
// kit's libraries with unique symbols, which keeps them loaded anyway: built with clang++,
// this shows whether the kit keeps itself loaded.)
TEST(Plugins, UnloadedAfterLoggingTheProgramStillEndsCleanly) {
  for (const char* plugin : {PLUGIN_A, PLUGIN_STATIC}) {
    kite_test::ProgramRun run;
    run.path = PLUGIN_UNLOADER;
    run.args = {plugin};
    const kite_test::ProgramResult result = kite_test::run_program(run);
    EXPECT_EQ(result.err, "from the main thread\nfrom a thread\n") << plugin;
    EXPECT_EQ(result.term_signal, 0) << plugin;
    EXPECT_EQ(result.exit_code, 0) << plugin;
  }
}

}  // namespace
