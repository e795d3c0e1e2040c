// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Stream.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <ace/Object_Manager.h>
#include <ace/Thread.h>

#include "errorhandling/KITE_LogMsg_Basync.h"
#include "errorhandling/KITE_LogMsg_Sys.h"

namespace {

// Characters of a finished line: msg_ has 256 places, the formatter is given 255.
const int kLineMax = 254;
// Longest streamed text that log_write copies on the stack; longer text goes to the heap.
const int kCopyOnStack = 1024;

// glibc reads a directive in a fixed order: an argument position ("1$"), flags, a width,
// a precision, one length modifier, and then any character as the conversion; the C
// library alone judges that character. A part out of order is the conversion too, so
// "%5 " is a whole (invalid) directive.
const char* skip_digits(const char* p) {
  while (*p >= '0' && *p <= '9') ++p;
  return p;
}

// After an argument position "n$" at p, else p. "0$" is none: the 0 is a flag or a width.
const char* skip_position(const char* p) {
  const char* digits_end = skip_digits(p);
  const bool nonzero = std::strspn(p, "0") < static_cast<size_t>(digits_end - p);
  return nonzero && *digits_end == '$' ? digits_end + 1 : p;
}

// A width or precision: digits, or "*" or "*n$" to read it from the arguments.
const char* skip_amount(const char* p) {
  return *p == '*' ? skip_position(p + 1) : skip_digits(p);
}

// The end of the directive that starts at percent.
const char* directive_end(const char* percent) {
  const char* p = skip_position(percent + 1);
  while (*p && std::strchr(" +-#0'I", *p)) ++p;
  p = skip_amount(p);
  if (*p == '.') p = skip_amount(p + 1);
  if ((*p == 'h' || *p == 'l') && p[1] == *p)
    p += 2;
  else if (*p && std::strchr("hlLqzZtj", *p))
    ++p;
  return *p ? p + 1 : p;
}

template <size_t N>
bool starts_with(const char* at, const char (&token)[N]) {
  return std::strncmp(at, token, N - 1) == 0;
}

// The end of format when it holds no @-token to replace, else null. One pass finds both.
const char* plain_end(const char* format) {
  const char* end = strchrnul(format, '@');
  return *end ? nullptr : end;
}

// Copies the directive that starts at percent to out, unchanged, and returns what follows
// it. An '@' that ends a directive belongs to it (the C library reads "%5@" as one invalid
// directive), so it starts no token there: the directives, and with them the arguments
// they read, stay exactly those of the caller's format.
const char* copy_directive(const char* percent, std::string& out) {
  const char* end = directive_end(percent);
  out.append(percent, static_cast<size_t>(end - percent));
  return end;
}

bool ends_with_newline(const char* format, const char* end) {
  return end > format && end[-1] == '\n';
}

// The length of the first kLineMax bytes of line without a UTF-8 character that the cut
// split: only the last few bytes are looked at. Bytes that start no character (another
// encoding, or broken text) are kept as they are.
int whole_characters(const char* line) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(line);
  int lead = kLineMax - 1;
  while (lead > kLineMax - 4 && (bytes[lead] & 0xC0) == 0x80) --lead;
  const int size = bytes[lead] >= 0xF8   ? 1
                   : bytes[lead] >= 0xF0 ? 4
                   : bytes[lead] >= 0xE0 ? 3
                   : bytes[lead] >= 0xC0 ? 2
                                         : 1;
  return lead + size > kLineMax ? lead : kLineMax;
}

// The calling thread's stream, once made: instance() is called for every line, and a
// thread-local pointer is found faster than ACE's thread-specific slot.
thread_local KITE_LogMsg_Stream* this_thread_stream = nullptr;

}  // namespace

KITE_LogMsg_Stream::KITE_LogMsg_Stream()
    : KITE_ERRLOG::logbuf_init<char>(this),
      std::basic_ostream<char>(buf_ptr()),
      backend_(KITE_LogMsg_BackendMgr::instance()),
      m_defaultPriority(LDEBUG),
      m_currentPriority(LDEBUG),
      status_(0),
      errnum_(0),
      linenum_(0),
      origin_recorded_(false),
      file_{},
      msg_{} {}

// ~Logbuf runs only after this object has ceased to be a KITE_LogMsg_Stream, so the
// pending text is delivered here, while the sink is whole, and the Logbuf is left without
// a sink.
KITE_LogMsg_Stream::~KITE_LogMsg_Stream() {
  if (this_thread_stream == this) this_thread_stream = nullptr;
  try {
    buf_ptr()->pubsync();
  } catch (...) {
  }
  buf_ptr()->setSink(nullptr);
}

std::ostream& KITE_LogMsg_Stream::info(const char* filename, int line, int op_status, int errnum) {
  file(filename);
  linenum_ = line;
  status_ = op_status;
  errnum_ = errnum;
  origin_recorded_ = true;
  m_currentPriority = m_defaultPriority;
  recover();
  return *this;
}

void KITE_LogMsg_Stream::file(const char* filename) {
  if (!filename) filename = "";
  size_t length = strnlen(filename, sizeof file_ - 1);
  std::memcpy(file_, filename, length);
  file_[length] = '\0';
}

const char* KITE_LogMsg_Stream::file() {
  return file_;
}

void KITE_LogMsg_Stream::time_output_on() {}

ssize_t KITE_LogMsg_Stream::log(Priority log_priority, const char* format_str, ...) {
  va_list argp;
  va_start(argp, format_str);
  ssize_t count = format_line(format_str, log_priority, argp);
  va_end(argp);
  return count;
}

ssize_t KITE_LogMsg_Stream::log(const char* format_str, Priority log_priority, va_list argp) {
  return format_line(format_str, log_priority, argp);
}

// log()'s work, inlined into both log()s and each shorthand together with finish().
KITE_LOG_INLINE ssize_t KITE_LogMsg_Stream::format_line(const char* format_str,
                                                        Priority log_priority, va_list argp) {
  recover();
  if (!format_str) format_str = "";
  const char* format = format_str;
  // Fast path: no '@', so the caller's format is the expanded format ("%m" is glibc's).
  const char* end = plain_end(format_str);
  if (!end) {
    end = expand(format_str, Mode::kFormat);
    format = format_.c_str();
  }
  // glibc's "%m" prints the text of errno, which thereby is the recorded error number's:
  // the same text the expansion would insert, and never read as a format.
  int saved_errno = errno;
  errno = errnum_;
  int count = std::vsnprintf(msg_, kLineMax + 1, format, argp);
  errno = saved_errno;
  return finish(log_priority, count, !ends_with_newline(format_str, end));
}

// Streamed text: expanded straight into the line, no printf-style formatting.
ssize_t KITE_LogMsg_Stream::log_text(Priority log_priority, const char* text) {
  const char* end = expand(text, Mode::kText);
  size_t stored = format_.size() < kLineMax ? format_.size() : kLineMax;
  std::memcpy(msg_, format_.data(), stored);
  msg_[stored] = '\0';
  return finish(log_priority, static_cast<ssize_t>(format_.size()), !ends_with_newline(text, end));
}

// msg_ holds the first (up to 254) characters of a line of count characters, or count is
// negative because formatting failed; the newline goes after them when there is room.
KITE_LOG_INLINE ssize_t KITE_LogMsg_Stream::finish(Priority log_priority, ssize_t count,
                                                   bool add_newline) {
  if (count >= 0 && add_newline) {
    if (count < kLineMax) {
      msg_[count] = '\n';
      msg_[count + 1] = '\0';
    }
    ++count;
  }
  // Only a line longer than msg_ holds was cut, and only there can a character be split.
  const int length = count <= kLineMax ? static_cast<int>(count) : whole_characters(msg_);
  if (!origin_recorded_) {
    backend_->write(log_priority, msg_, length);
    return count;
  }
  const KITE_LogMsg_Origin origin = {file_, linenum_, errnum_};
  const KITE_LogMsg_Origin::Scope scope(&origin);
  backend_->write(log_priority, msg_, length);
  return count;
}

// Builds format_ from format and returns the end of format.
// Mode::kFormat makes a printf format: the @-tokens' replacements have their '%' doubled
// and the caller's directives (with "%m", which log() leaves to glibc) are copied whole, so
// the arguments are read exactly as by the caller's format without expansion.
// Mode::kText makes the finished text of a format without arguments.
const char* KITE_LogMsg_Stream::expand(const char* format, Mode mode) {
  const bool escape = mode == Mode::kFormat;
  format_.clear();
  const char* p = format;
  while (*p) {
    if (*p == '%' && p[1] == '%') {
      format_.append(p, escape ? 2 : 1);
      p += 2;
    } else if (*p == '%' && escape) {
      p = copy_directive(p, format_);
    } else if (*p == '%' && p[1] == 'm') {
      put_error_text(false);
      p += 2;
    } else if (size_t used = *p == '@' ? put_token(p, escape) : 0) {
      p += used;
    } else {
      format_ += *p++;
    }
  }
  return p;
}

// Appends the replacement of the @-token at `at`; returns its length, 0 for no token.
size_t KITE_LogMsg_Stream::put_token(const char* at, bool escape) {
  if (starts_with(at, "@PROG")) {
    put(backend_->progname(), escape);
    return 5;
  }
  if (starts_with(at, "@ERRSTR")) {
    put_error_text(escape);
    return 7;
  }
  if (starts_with(at, "@LINE")) {
    put_number(linenum_);
    return 5;
  }
  if (starts_with(at, "@FILE")) {
    put(file_, escape);
    return 5;
  }
  if (starts_with(at, "@PID")) {
    put_number(backend_->getMainPid());
    return 4;
  }
  if (starts_with(at, "@TID")) {
    put_number(static_cast<unsigned long>(ACE_Thread::self()));
    return 4;
  }
  if (starts_with(at, "@TIME")) return 5;
  return 0;
}

void KITE_LogMsg_Stream::put(const char* text, bool escape) {
  if (!escape) {
    format_.append(text);
    return;
  }
  for (const char* percent; (percent = std::strchr(text, '%')); text = percent + 1)
    format_.append(text, static_cast<size_t>(percent + 1 - text)).append(1, '%');
  format_.append(text);
}

void KITE_LogMsg_Stream::put_error_text(bool escape) {
  char buffer[256];
  put(strerror_r(errnum_, buffer, sizeof buffer), escape);
}

template <class Number>
void KITE_LogMsg_Stream::put_number(Number value) {
  char digits[24];
  std::to_chars_result result = std::to_chars(digits, digits + sizeof digits, value);
  format_.append(digits, result.ptr);
}

// The zero-terminated copy lives on the stack up to kCopyOnStack characters and on the
// heap beyond; only when neither can be had is the text written unformatted.
void KITE_LogMsg_Stream::log_write(const char* s, int n) {
  if (n < 0) return;
  char on_stack[kCopyOnStack];
  std::unique_ptr<char[]> on_heap;
  char* copy = on_stack;
  if (n >= kCopyOnStack) {
    on_heap.reset(new (std::nothrow) char[static_cast<size_t>(n) + 1]);
    copy = on_heap.get();
  }
  if (!copy) {
    static const char kStackOverflow[] = "Stack overflow\n";
    backend_->write(m_currentPriority, s, n);
    backend_->write(CRIT, kStackOverflow, sizeof kStackOverflow - 1);
    return;
  }
  std::memcpy(copy, s, static_cast<size_t>(n));
  copy[n] = '\0';
  log_text(m_currentPriority, copy);
}

// Each shorthand formats exactly as log() does, at its own priority.
#define KITE_LOG_FORWARD(priority)           \
  do {                                       \
    va_list argp;                            \
    va_start(argp, format_str);              \
    format_line(format_str, priority, argp); \
    va_end(argp);                            \
  } while (0)

void KITE_LogMsg_Stream::debug(const char* format_str, ...) {
  KITE_LOG_FORWARD(LDEBUG);
}

void KITE_LogMsg_Stream::message(const char* format_str, ...) {
  KITE_LOG_FORWARD(INFO);
}

void KITE_LogMsg_Stream::warn(const char* format_str, ...) {
  KITE_LOG_FORWARD(WARNING);
}

void KITE_LogMsg_Stream::error(const char* format_str, ...) {
  KITE_LOG_FORWARD(ERROR);
}

void KITE_LogMsg_Stream::report(const char* format_str, ...) {
  KITE_LOG_FORWARD(NOTICE);
}

void KITE_LogMsg_Stream::fail(const char* format_str, ...) {
  KITE_LOG_FORWARD(EMERGENCY);
  backend_->abort();
}

void KITE_LogMsg_Stream::cond_debug(bool validity, const char* format_str, ...) {
  if (validity) KITE_LOG_FORWARD(LDEBUG);
}

void KITE_LogMsg_Stream::cond_message(bool validity, const char* format_str, ...) {
  if (validity) KITE_LOG_FORWARD(NOTICE);
}

void KITE_LogMsg_Stream::cond_warn(bool validity, const char* format_str, ...) {
  if (validity) KITE_LOG_FORWARD(WARNING);
}

void KITE_LogMsg_Stream::cond_error(bool validity, const char* format_str, ...) {
  if (validity) KITE_LOG_FORWARD(ERROR);
}

void KITE_LogMsg_Stream::cond_fail(bool validity, const char* format_str, ...) {
  if (!validity) return;
  KITE_LOG_FORWARD(EMERGENCY);
  backend_->flush(KITE_LogMsg_Basync::END_WAIT_MS);
  std::abort();
}

#undef KITE_LOG_FORWARD

std::ostream& operator<<(std::ostream& os, KITE_LogMsg_Stream::Priority priority) {
  if (KITE_LogMsg_Stream* stream = dynamic_cast<KITE_LogMsg_Stream*>(&os)) {
    stream->recover();
    stream->m_currentPriority = priority;
  }
  return os;
}

ACE_BEGIN_VERSIONED_NAMESPACE_DECL
template <>
ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_Recursive_Thread_Mutex>*&
ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_Recursive_Thread_Mutex>::instance_i() {
  typedef ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_Recursive_Thread_Mutex> Holder;
  alignas(Holder) static unsigned char storage[sizeof(Holder)];
  static Holder* holder = [] {
    KITE_LogMsg_BackendMgr::instance();
    Holder* made = new (storage) Holder;
    // Makes the thread-specific key now, under the guard of this initialisation: ACE would
    // make it on first use behind a flag that other threads read without a lock.
    made->instance_.ts_object(nullptr);
    if (!ACE_Object_Manager::starting_up() && !ACE_Object_Manager::shutting_down())
      ACE_Object_Manager::at_exit(made, nullptr, "KITE_LogMsg_Stream");
    return made;
  }();
  return holder;
}

template <>
KITE_LogMsg_Stream* ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_Recursive_Thread_Mutex>::instance() {
  KITE_LogMsg_Stream* stream = this_thread_stream;
  if (__builtin_expect(!stream, 0))
    stream = this_thread_stream = ACE_TSS_GET(&instance_i()->instance_, KITE_LogMsg_Stream);
  if (stream) stream->recover();
  return stream;
}

template <>
void ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_Recursive_Thread_Mutex>::cleanup(void*) {
  delete instance_.ts_object(nullptr);
}
ACE_END_VERSIONED_NAMESPACE_DECL
