// SPDX-License-Identifier: MIT
#include "utility/output.h"

#include "utility/env_adapter.h"

#include <poll.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

// The module's statics come up before every ordinary static object of the program, in the
// order of their numbers, so that static initialisers elsewhere (a file-scope debug channel,
// say) already find them; they go down in reverse order after those objects.
#define OUTPUT_STARTUP(step) __attribute__((init_priority(101 + (step))))

namespace output {
namespace {

// The standard streams, which every line is written to.
std::ios_base::Init standard_streams OUTPUT_STARTUP(0);

}  // namespace

component component::the_default_component OUTPUT_STARTUP(1)("");

namespace {

std::string executable_name OUTPUT_STARTUP(2);
std::string language OUTPUT_STARTUP(3) = "C++";

bool time_output = false;

// The module's two switches, each read once, on first need, and kept for the process.
class output_switches {
 public:
  bool use_syslog() { return syslog_usage.on("UTILITY_USE_SYSLOG"); }
  bool serialized() { return semaphore_usage.on("UTILITY_SERIALIZED_OUTPUT"); }

 private:
  struct lazy_flag {
    bool uninitialized = true;
    bool allowed = false;

    bool on(const char* name) {
      if (uninitialized) {
        env_flag flag(name);
        allowed = flag.is_on();
        uninitialized = false;
      }
      return allowed;
    }
  };

  lazy_flag syslog_usage;
  lazy_flag semaphore_usage;
} switches;

// -1 until the set exists, so a line written before cannot touch anyone else's set.
int semaphore_id = -1;
// Wait until the semaphore is free (0) and take it (1); the kernel undoes the take of a
// process that ends while holding it.
sembuf output_sem_lock[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
sembuf output_sem_unlock[1] = {{0, -1, SEM_UNDO}};
const key_t kOutputSemKey = 0x81579C;
// How long a line waits for its turn before it goes out unserialised.
const int kTurnWaitSeconds = 3;

// The set is created in every program that holds the module and stays in the system.
struct semaphore_set_creation {
  semaphore_set_creation() { semaphore_id = semget(kOutputSemKey, 1, IPC_CREAT | 0600); }
} semaphore_set_created OUTPUT_STARTUP(4);

// The buffers of std::cout and std::cerr as the program starts with them.
struct standard_buffers_at_start {
  std::streambuf* const out = std::cout.rdbuf();
  std::streambuf* const err = std::cerr.rdbuf();
} standard_buffers OUTPUT_STARTUP(5);

// The first error of a console write, 0 while every line got out.
int console_error = 0;

const char* const hex_chars = "0123456789ABCDEF";
const char* const kUnknownExecutable = "UnknownExecutable";
const size_t kTextSize = 4096;
const size_t kPrefixSize = 1024;

struct classification_format {
  int syslog_priority;
  const char* label;
  bool to_standard_output;
};

// Indexed by output_classification. The label of e_unspecific appears in the system log only;
// on the console its text stands alone.
const classification_format kFormats[] = {
    {LOG_DEBUG, "Debug  : ", true},    {LOG_INFO, "Message: ", true},
    {LOG_WARNING, "Warning: ", false}, {LOG_ERR, "Error  : ", false},
    {LOG_EMERG, "Failure: ", false},   {LOG_NOTICE, "Notice : ", false},
};

const char* after_last_slash(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// The last resort when /proc does not tell: the command column of ps for this process.
std::string name_from_ps() {
  const int pid = static_cast<int>(getpid());
  char command[256];
  std::snprintf(command, sizeof command,
                "ps p %i | grep %i | awk '{if ($4 != \"+\")  print($5); else print($6); }'", pid,
                pid);
  FILE* pipe = popen(command, "r");
  if (pipe == nullptr) return kUnknownExecutable;
  std::string name;
  char helparray[256];
  if (std::fgets(helparray, sizeof helparray, pipe) != nullptr) {
    const size_t length = std::strlen(helparray);
    if (length > 0 && helparray[length - 1] == '\n') helparray[length - 1] = '\0';
    name = after_last_slash(helparray);
  }
  pclose(pipe);
  // An empty name would send every later line through ps again.
  return name.empty() ? kUnknownExecutable : name;
}

// Finds the executable's name once: argv[0] from /proc, else ps, else "UnknownExecutable".
void set_output_executable_name() {
  if (!executable_name.empty()) return;
  char command[256];
  std::snprintf(command, sizeof command, "/proc/%i/cmdline", static_cast<int>(getpid()));
  if (FILE* cmdline = std::fopen(command, "r")) {
    const size_t got = std::fread(command, 1, sizeof command - 1, cmdline);
    std::fclose(cmdline);
    if (got > 0) {
      // argv[0] ends at its own zero byte, or here when it is longer than what was read.
      command[got] = '\0';
      executable_name = after_last_slash(command);
      // An empty argv[0], or one ending in '/', names nothing: a failed search, not repeated.
      if (executable_name.empty()) executable_name = kUnknownExecutable;
      return;
    }
  }
  executable_name = name_from_ps();
}

// "<executable>[<language>]:: " within the prefix buffer: an over-long tag keeps half of the
// room, the name what the tag leaves; both are cut rather than overflow.
void build_prefix(char (&prefix_output_string)[kPrefixSize]) {
  const size_t room = kPrefixSize - 1 - std::strlen("[]:: ");
  const size_t language_length = std::min(language.size(), room / 2);
  const size_t name_length = std::min(executable_name.size(), room - language_length);
  std::snprintf(prefix_output_string, kPrefixSize, "%.*s[%.*s]:: ", static_cast<int>(name_length),
                executable_name.c_str(), static_cast<int>(language_length), language.c_str());
}

// This process's turn to write one line, taken for the object's life when serialisation is
// on. The wait is bounded: a holder that is stopped, or blocked writing into a pipe that this
// process would read next, must not hang it. After one wait in vain the process only takes
// a turn that is free at once, so a stuck holder costs one wait, not one per line.
class output_turn {
 public:
  output_turn() : taken_(switches.serialized() && semaphore_id != -1 && take()) {}
  ~output_turn() {
    if (taken_) semop(semaphore_id, output_sem_unlock, 1);
  }
  output_turn(const output_turn&) = delete;
  output_turn& operator=(const output_turn&) = delete;

  // True once, for the line whose wait ran out first in this process.
  bool first_wait_in_vain() const { return first_wait_in_vain_; }

 private:
  // A signal during the wait does not end it early, and a turn not taken is never given
  // back: that would hand another process's turn to a third.
  bool take() {
    static bool waited_in_vain = false;
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += waited_in_vain ? 0 : kTurnWaitSeconds;
    for (;;) {
      timespec now, left;
      clock_gettime(CLOCK_MONOTONIC, &now);
      left.tv_sec = deadline.tv_sec - now.tv_sec;
      left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
      if (left.tv_nsec < 0) {
        left.tv_nsec += 1000000000L;
        --left.tv_sec;
      }
      if (left.tv_sec < 0) left = {0, 0};
      if (semtimedop(semaphore_id, output_sem_lock, 2, &left) == 0) return true;
      if (errno == EINTR) continue;
      if (errno == EAGAIN && !waited_in_vain) first_wait_in_vain_ = waited_in_vain = true;
      return false;
    }
  }

  bool first_wait_in_vain_ = false;
  const bool taken_;
};

// Writes all of line to fd. A full non-blocking descriptor is waited for and an interrupted
// write repeated; any other failure ends this line only. Returns 0 or the error number.
int write_fully(int fd, const std::string& line) {
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written >= 0) {
      data += written;
      left -= static_cast<size_t>(written);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd writable = {fd, POLLOUT, 0};
      poll(&writable, 1, -1);
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

// One console line on standard output or standard error. What the program wrote through the
// stream before goes out first; the line itself bypasses the stream, so that a failed line
// leaves no failed stream behind to swallow the next one. A stream the program has given
// a buffer of its own gets the line through that buffer.
void write_console(bool to_standard_output, const std::string& line) {
  std::ostream& stream = to_standard_output ? std::cout : std::cerr;
  int error = 0;
  if (stream.rdbuf() != (to_standard_output ? standard_buffers.out : standard_buffers.err)) {
    stream.write(line.data(), static_cast<std::streamsize>(line.size()));
    stream.flush();
    if (!stream) {
      error = EIO;
      stream.clear();
    }
  } else {
    stream.flush();
    error = write_fully(to_standard_output ? 1 : 2, line);
  }
  if (error != 0 && console_error == 0) console_error = error;
}

}  // namespace

component::component(const char* name) : m_name(name ? name : "") {}

component::~component() {}

void component::general_output_function(output_classification kindof, const char* str) {
  write_line(kindof, str, true);
}

// time_stamp_allowed is false only for the module's own warnings, so a clock that keeps
// failing costs one warning per line and never recurses further.
void component::write_line(output_classification kindof, const char* str, bool time_stamp_allowed) {
  if (str == nullptr) {
    write_line(e_warn, "output::component::general_output_function parameter error",
               time_stamp_allowed);
    return;
  }
  if (kindof < e_debug || kindof > e_unspecific) return;
  const classification_format& format = kFormats[kindof];
  const std::string usertext = m_name.empty() ? std::string(str) : m_name + ": " + str;
  bool first_wait_in_vain;
  if (switches.use_syslog()) {
    // The system log names the program itself: no prefix, no time stamp.
    output_turn turn;
    syslog(format.syslog_priority, "%s%s", format.label, usertext.c_str());
    first_wait_in_vain = turn.first_wait_in_vain();
  } else {
    const std::string line = console_line(kindof, usertext, time_stamp_allowed);
    output_turn turn;
    write_console(format.to_standard_output, line);
    first_wait_in_vain = turn.first_wait_in_vain();
  }
  if (first_wait_in_vain)
    write_line(e_warn,
               "output::component::general_output_function - output lock busy, "
               "writing unserialised",
               false);
}

// "[hh:mm:ss ]<executable>[<language>]:: <label><usertext>\n", or usertext alone for
// e_unspecific. A clock that fails is reported through this component first.
std::string component::console_line(output_classification kindof, const std::string& usertext,
                                    bool time_stamp_allowed) {
  std::string line;
  if (kindof != e_unspecific) {
    set_output_executable_name();
    char time_information[10] = {};
    time_information[8] = ' ';
    if (time_output && time_stamp_allowed) {
      const time_t now = time(nullptr);
      char clock_text[64];
      if (now < 0 || ctime_r(&now, clock_text) == nullptr)
        write_line(e_warn, "output::component::general_output_function - time call failed", false);
      else
        std::memcpy(time_information, clock_text + 11, 8);
    }
    char prefix_output_string[kPrefixSize];
    build_prefix(prefix_output_string);
    line = line + time_information + prefix_output_string + kFormats[kindof].label;
  }
  line += usertext;
  line += '\n';
  return line;
}

void component::voutput(output_classification kindof, const char* msg, va_list argp) {
  if (msg == nullptr) return;
  char text[kTextSize];
  if (std::vsnprintf(text, sizeof text, msg, argp) < 0) text[0] = '\0';
  general_output_function(kindof, text);
}

// The printf-style entry points differ only in classification, condition and abort.
#define OUTPUT_FORWARD(target, kindof)   \
  do {                                   \
    va_list argp;                        \
    va_start(argp, msg);                 \
    (target).voutput(kindof, msg, argp); \
    va_end(argp);                        \
  } while (0)

void component::debug(const char* msg, ...) {
  OUTPUT_FORWARD(*this, e_debug);
}
void component::message(const char* msg, ...) {
  OUTPUT_FORWARD(*this, e_message);
}
void component::warn(const char* msg, ...) {
  OUTPUT_FORWARD(*this, e_warn);
}
void component::error(const char* msg, ...) {
  OUTPUT_FORWARD(*this, e_error);
}
void component::report(const char* msg, ...) {
  OUTPUT_FORWARD(*this, e_unspecific);
}

void component::fail(const char* msg, ...) {
  if (msg == nullptr) return;
  OUTPUT_FORWARD(*this, e_fail);
  abort();
}

void component::cond_debug(bool validity, const char* msg, ...) {
  if (validity) OUTPUT_FORWARD(*this, e_debug);
}
void component::cond_message(bool validity, const char* msg, ...) {
  if (validity) OUTPUT_FORWARD(*this, e_message);
}
void component::cond_warn(bool validity, const char* msg, ...) {
  if (validity) OUTPUT_FORWARD(*this, e_warn);
}
void component::cond_error(bool validity, const char* msg, ...) {
  if (validity) OUTPUT_FORWARD(*this, e_error);
}

void component::cond_fail(bool validity, const char* msg, ...) {
  if (!validity || msg == nullptr) return;
  OUTPUT_FORWARD(*this, e_fail);
  abort();
}

void component::dump_hex(const unsigned char* buffer, unsigned buffer_len,
                         unsigned bytes_per_line) {
  cond_fail(bytes_per_line == 0, "output::component::dump_hex: got wrong bytes_per_line value");
  if (buffer == nullptr) return;
  // A line's text is cut at 4095 characters anyway; bytes beyond that are not rendered.
  const size_t shown_per_line = std::min<size_t>(bytes_per_line, kTextSize / 3 + 1);
  std::string hex_message;
  for (size_t first = 0; first < buffer_len; first += bytes_per_line) {
    const size_t count = std::min<size_t>({bytes_per_line, buffer_len - first, shown_per_line});
    hex_message.clear();
    for (size_t i = 0; i < count; ++i) {
      if (i > 0) hex_message += ' ';
      hex_message += hex_chars[buffer[first + i] >> 4];
      hex_message += hex_chars[buffer[first + i] & 0x0F];
    }
    message("%s", hex_message.c_str());
  }
}

void debug(const char* msg, ...) {
  OUTPUT_FORWARD(component::get_default_component(), e_debug);
}
void message(const char* msg, ...) {
  OUTPUT_FORWARD(component::get_default_component(), e_message);
}
void warn(const char* msg, ...) {
  OUTPUT_FORWARD(component::get_default_component(), e_warn);
}
void error(const char* msg, ...) {
  OUTPUT_FORWARD(component::get_default_component(), e_error);
}
void report(const char* msg, ...) {
  OUTPUT_FORWARD(component::get_default_component(), e_unspecific);
}

void fail(const char* msg, ...) {
  if (msg == nullptr) return;
  OUTPUT_FORWARD(component::get_default_component(), e_fail);
  abort();
}

void cond_debug(bool validity, const char* msg, ...) {
  if (validity) OUTPUT_FORWARD(component::get_default_component(), e_debug);
}
void cond_message(bool validity, const char* msg, ...) {
  if (validity) OUTPUT_FORWARD(component::get_default_component(), e_message);
}
void cond_warn(bool validity, const char* msg, ...) {
  if (validity) OUTPUT_FORWARD(component::get_default_component(), e_warn);
}
void cond_error(bool validity, const char* msg, ...) {
  if (validity) OUTPUT_FORWARD(component::get_default_component(), e_error);
}

void cond_fail(bool validity, const char* msg, ...) {
  if (!validity || msg == nullptr) return;
  OUTPUT_FORWARD(component::get_default_component(), e_fail);
  abort();
}

#undef OUTPUT_FORWARD

void dump_hex(const unsigned char* buffer, unsigned buffer_len, unsigned bytes_per_line) {
  component::get_default_component().dump_hex(buffer, buffer_len, bytes_per_line);
}

void set_alternative_logging_capability() {
  if (switches.use_syslog()) openlog(nullptr, 0, LOG_LOCAL0);
}

void set_language(const char* name) {
  if (name != nullptr) language = name;
}

void set_executable_name(const char* name) {
  if (name == nullptr) return;
  const char* slash = std::strrchr(name, '/');
  executable_name = (slash != nullptr && slash[1] != '\0') ? slash + 1 : name;
}

const char* get_executable_name() {
  set_output_executable_name();
  return strdup(executable_name.c_str());
}

int console_write_error() {
  return console_error;
}

void time_output_on() {
  time_output = true;
}
void time_output_off() {
  time_output = false;
}

}  // namespace output

extern "C" void output_set_language(const char* name) {
  output::set_language(name);
}
