// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_LogTo.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "errorhandling/KITE_LogMsg_Bfile.h"
#include "errorhandling/KITE_LogMsg_Bjournal.h"
#include "errorhandling/KITE_LogMsg_Bstderr.h"
#include "errorhandling/KITE_LogMsg_Bsyslog.h"
#include "errorhandling/KITE_LogMsg_Trouble.h"

namespace {

typedef std::vector<std::unique_ptr<KITE_LogMsg_Backend>> Backends;
typedef std::vector<std::pair<dev_t, ino_t>> Files;

const char kReplaced[] = "standard error takes its place";

std::vector<std::string> entries(const char* setting) {
  std::vector<std::string> listed;
  for (const char* at = setting ? setting : ""; *at;) {
    const char* end = std::strchr(at, ':');
    std::string entry(at, end ? end : at + std::strlen(at));
    if (!entry.empty() && std::find(listed.begin(), listed.end(), entry) == listed.end())
      listed.push_back(entry);
    at = end ? end + 1 : at + entry.size();
  }
  return listed;
}

// Adds backend when its destination could be opened; otherwise reports why not and says so.
template <class Backend>
bool add_usable(Backends& backends, std::unique_ptr<Backend> backend, const std::string& entry,
                const std::string& what) {
  if (int error = backend->open_error()) {
    char text[256];
    KITE_LogMsg_Trouble::notice(KITE_LogMsg_Priorities::WARNING, "KITE_LOG_TO: %s: %s: %s; %s",
                                entry.c_str(), what.c_str(),
                                KITE_LogMsg_Trouble::reason(error, text, sizeof text), kReplaced);
    return false;
  }
  backends.push_back(std::move(backend));
  return true;
}

// A file already opened under another spelling ("/tmp//a.log", a link) is passed over, as a
// repeated entry is: the same device and inode.
bool add_file(Backends& backends, Files& files, const std::string& entry) {
  const char* path = entry.c_str() + 5;
  auto file = std::make_unique<KITE_LogMsg_Bfile>(path);
  struct stat status;
  if (file->open_error() == 0 && stat(path, &status) == 0) {
    const std::pair<dev_t, ino_t> identity(status.st_dev, status.st_ino);
    if (std::find(files.begin(), files.end(), identity) != files.end()) return true;
    files.push_back(identity);
  }
  return add_usable(backends, std::move(file), entry, "cannot open the file");
}

}  // namespace

Backends KITE_LogMsg_LogTo::backends(const char* setting) {
  Backends backends;
  Files files;
  const std::vector<std::string> listed = entries(setting);
  bool to_stderr = listed.empty();
  for (const std::string& entry : listed) {
    bool usable = true;
    if (entry == "stderr") {
      to_stderr = true;
    } else if (entry == "syslog") {
      usable = add_usable(backends, std::make_unique<KITE_LogMsg_Bsyslog>(), entry,
                          "nothing listens at /dev/log");
    } else if (entry == "journal") {
      usable = add_usable(backends, std::make_unique<KITE_LogMsg_Bjournal>(), entry,
                          std::string("nothing listens at ") + KITE_LogMsg_Bjournal::SOCKET_PATH);
    } else if (entry.compare(0, 5, "file=") == 0) {
      usable = add_file(backends, files, entry);
    } else {
      KITE_LogMsg_Trouble::notice(
          KITE_LogMsg_Priorities::WARNING,
          "KITE_LOG_TO: unknown destination \"%s\" (known: stderr, syslog, journal, "
          "file=<path>); %s",
          entry.c_str(), kReplaced);
      usable = false;
    }
    to_stderr = to_stderr || !usable;
  }
  if (to_stderr) backends.push_back(std::make_unique<KITE_LogMsg_Bstderr>());
  return backends;
}
