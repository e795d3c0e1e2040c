// SPDX-License-Identifier: MIT
/// \file
/// KITE_LogMsg_Stream: the calling thread's log stream, front end of all logging.
///
///     KITE_LogMsg_Stream* log = KITE_LogMsg_Stream::instance();
///     log->error("open of %s failed: %m", name);           // printf-style, one line
///     log->info(__FILE__, __LINE__, 0, errno) << KITE_LogMsg_Stream::WARNING
///                                             << "@FILE:@LINE: " << n << " left" << std::endl;
///
/// Each thread has its own stream, created at its first instance() call and destroyed when
/// the thread ends; ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_Recursive_Thread_Mutex>::
/// instance() is the same call, and streams are made no other way. A stream takes no lock
/// and is used by its own thread only. Lines go to the process-wide KITE_LogMsg_BackendMgr,
/// which serialises them and outlives every stream.
///
/// Formatting a line: before the printf-style formatting, these tokens are replaced:
/// "@PROG" program name, "%m" and "@ERRSTR" the text of the error number recorded by info()
/// (never the current errno), "@LINE" and "@FILE" the recorded position, "@PID" the main
/// process id, "@TID" the calling thread's id, "@TIME" nothing. A '\%' within a replacement
/// prints literally, and the caller's own directives are left to the C library as written,
/// so a format reads the same arguments with or without tokens (an '\@' that ends a
/// directive, as in "%5@LINE", belongs to it and starts no token). A newline is added unless the
/// caller's format ends with one. At most 254 characters are kept, cut after the last whole UTF-8
/// character among them; the return value of log() is the length before that cut.
///
/// Streamed text (<<) gathers until a flush (std::flush, std::endl) and then forms one line
/// at the current priority. It is a format without arguments: "%%" gives "%", "%m" the
/// error text, and every other '\%' is copied as it is.
///
/// A streamed line that fails (a backend throws while the flush delivers it, or a null
/// const char* is inserted) sets badbit, which the caller may test right after the flush.
/// The text not delivered stays gathered and goes out with the next flush. The stream is
/// good again as the next line begins: at the next instance(), info(), priority inserter
/// or printf-style call. Text inserted after a null pointer within one statement is
/// dropped by the C++ library.
///
/// Cost: a line allocates nothing once the stream has seen a line as long, and a format
/// without '\@' goes to vsnprintf unchanged: glibc's own "%m" prints the recorded error,
/// since errno holds the recorded number while the line is formatted (and is restored).
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_STREAM_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_STREAM_H

#include <sys/types.h>

#include <cstdarg>
#include <ostream>
#include <string>

#include <ace/Recursive_Thread_Mutex.h>
#include <ace/Singleton.h>

#include "BOLT/export.h"
#include "errorhandling/KITE_ERRLOG_Logbuf.h"
#include "errorhandling/KITE_LogMsg_BackendMgr.h"

/// Lets the compiler check each call's arguments against its format.
#define KITE_LOG_PRINTF(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))

/// The calling thread's log stream, front end of all logging (see KITE_LogMsg_Stream.h).
class KITE_EXPORT KITE_LogMsg_Stream final : public virtual KITE_ERRLOG::logbuf_init<char>,
                                             public std::basic_ostream<char>,
                                             public KITE_ERRLOG::LogSink<char>,
                                             public KITE_LogMsg_Priorities {
 public:
  /// The calling thread's stream, made at its first call.
  static KITE_LogMsg_Stream* instance();

  KITE_LogMsg_Stream(const KITE_LogMsg_Stream&) = delete;
  KITE_LogMsg_Stream& operator=(const KITE_LogMsg_Stream&) = delete;

  /// Delivers text still gathered as one last line.
  ~KITE_LogMsg_Stream() override;

  /// The Logbuf's sink: one flush worth of streamed text, formatted as one line.
  void log_write(const char* s, int n) override;

  /// Records the context of the following lines and resets the streamed priority to
  /// LDEBUG; returns this stream for immediate insertion.
  std::ostream& info(const char* filename, int line, int op_status, int errnum);

  /// Records the file name, cut to 4096 characters; null records an empty name.
  void file(const char* filename);
  /// The recorded file name.
  const char* file();

  /// Formats and writes one line; returns the formatted length (larger than 254 when the
  /// line was cut) or a negative value when formatting failed. Throws MutexFail.
  ssize_t log(Priority log_priority, const char* format_str, ...) KITE_LOG_PRINTF(3, 4);
  /// As the other log(), with the arguments in argp.
  ssize_t log(const char* format_str, Priority log_priority, va_list argp) KITE_LOG_PRINTF(2, 0);

  /// One line at LDEBUG.
  void debug(const char* format_str, ...) KITE_LOG_PRINTF(2, 3);
  /// One line at INFO.
  void message(const char* format_str, ...) KITE_LOG_PRINTF(2, 3);
  /// One line at WARNING.
  void warn(const char* format_str, ...) KITE_LOG_PRINTF(2, 3);
  /// One line at ERROR.
  void error(const char* format_str, ...) KITE_LOG_PRINTF(2, 3);
  /// One line at NOTICE.
  void report(const char* format_str, ...) KITE_LOG_PRINTF(2, 3);
  /// EMERGENCY, then the manager's abort(): the lines queued for the writer thread are
  /// delivered (a bounded wait), then SIGABRT goes to the main process. Returns when the
  /// signal is ignored, handled or cannot be sent.
  void fail(const char* format_str, ...) KITE_LOG_PRINTF(2, 3);

  /// \name Conditional forms
  /// The conditional forms do nothing at all while validity is false. Callers pass the
  /// failure condition as validity.
  /// @{

  /// One line at LDEBUG while validity is true.
  void cond_debug(bool validity, const char* format_str, ...) KITE_LOG_PRINTF(3, 4);
  /// One line at NOTICE, not INFO, while validity is true.
  void cond_message(bool validity, const char* format_str, ...) KITE_LOG_PRINTF(3, 4);
  /// One line at WARNING while validity is true.
  void cond_warn(bool validity, const char* format_str, ...) KITE_LOG_PRINTF(3, 4);
  /// One line at ERROR while validity is true.
  void cond_error(bool validity, const char* format_str, ...) KITE_LOG_PRINTF(3, 4);
  /// EMERGENCY, then the queued lines are delivered (as by fail()) and std::abort() ends the
  /// process: does not return when validity is true.
  void cond_fail(bool validity, const char* format_str, ...) KITE_LOG_PRINTF(3, 4);
  /// @}

  /// Lines carry no time stamp; the request is accepted and changes nothing.
  void time_output_on();

 private:
  friend std::ostream& operator<<(std::ostream& os, Priority priority);
  friend class ACE_TSS<KITE_LogMsg_Stream>;  // makes the streams of instance()
  friend class ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_Recursive_Thread_Mutex>;

  KITE_LogMsg_Stream();

  // Clears a failure of the previous streamed line.
  void recover() {
    if (!good()) clear();
  }

  enum class Mode { kFormat, kText };

  KITE_NO_EXPORT const char* expand(const char* format, Mode mode);
  KITE_NO_EXPORT size_t put_token(const char* at, bool escape);
  KITE_NO_EXPORT void put(const char* text, bool escape);
  KITE_NO_EXPORT void put_error_text(bool escape);
  template <class Number>
  KITE_NO_EXPORT void put_number(Number value);
  KITE_NO_EXPORT ssize_t format_line(const char* format_str, Priority log_priority, va_list argp);
  KITE_NO_EXPORT ssize_t log_text(Priority log_priority, const char* text);
  KITE_NO_EXPORT ssize_t finish(Priority log_priority, ssize_t count, bool add_newline);

  KITE_LogMsg_BackendMgr* backend_;  // not owned; outlives every stream
  Priority m_defaultPriority;
  Priority m_currentPriority;  // of streamed text
  int status_;
  int errnum_;
  int linenum_;
  bool origin_recorded_;  // info() was called: the lines carry file, line and error number
  char file_[4097];
  char msg_[256];  // the latest finished line
  // The expanded format (or streamed text) of the line being made; reused from line to
  // line, so it allocates only when a line is longer than any before.
  std::string format_;
};

#undef KITE_LOG_PRINTF

/// Sets the streamed priority when os is a KITE_LogMsg_Stream; prints nothing, and does
/// nothing at all on any other stream.
KITE_EXPORT std::ostream& operator<<(std::ostream& os, KITE_LogMsg_Stream::Priority priority);

/// \cond
// The holder of the streams is the kit's own (defined with the stream): it lives in static
// storage and is never freed, so a thread that still logs while the process exits finds it
// whole. At exit, after everything registered with ACE's object manager later than it (ACE
// ends them in reverse order), it delivers and deletes the calling thread's stream; the
// streams of threads still running go when those threads end. The backend manager is made
// before it, so the manager's backends outlast every stream's last line.
//
// instance(), which the inline KITE_LogMsg_Stream::instance() calls, is exported and named in
// cmake/kite.map, which hides ACE's templates: every module that logs reaches the one holder.
// cleanup() is called through the holder's vtable, which only the library makes.
//
// A holder with another lock would be a second set of streams; those are declared and
// never defined, so that slip does not compile.
ACE_BEGIN_VERSIONED_NAMESPACE_DECL
template <>
KITE_EXPORT KITE_LogMsg_Stream*
ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_Recursive_Thread_Mutex>::instance();
template <>
void ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_Recursive_Thread_Mutex>::cleanup(void*);
class ACE_Null_Mutex;
class ACE_Thread_Mutex;
class ACE_Mutex;
class ACE_RW_Thread_Mutex;
template <>
class ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_Thread_Mutex>;
template <>
class ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_Null_Mutex>;
template <>
class ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_Mutex>;
template <>
class ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_RW_Thread_Mutex>;
ACE_END_VERSIONED_NAMESPACE_DECL

inline KITE_LogMsg_Stream* KITE_LogMsg_Stream::instance() {
  return ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_Recursive_Thread_Mutex>::instance();
}
/// \endcond

#endif
