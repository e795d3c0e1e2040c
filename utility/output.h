// SPDX-License-Identifier: MIT
/// \file
/// The output module: classified lines on the console or in the system log.
///
/// A line is written under one output_classification. On the console it reads
///
///     [hh:mm:ss ]<executable>[<language>]:: <label><component name>: <text>
///
/// where the time stamp appears while time output is on, the label is nine characters wide
/// ("Debug  : ", "Message: ", "Warning: ", "Error  : ", "Failure: "), and the component name
/// with its ": " only when the component has a name. Debug and message lines go to standard
/// output, all others to standard error. report() writes "<component name>: <text>" alone.
/// With UTILITY_USE_SYSLOG on, every line goes to the system log instead (no time stamp, no
/// executable prefix). With UTILITY_SERIALIZED_OUTPUT on, the processes of one user take turns
/// line by line through the System V semaphore set 0x81579C; the kernel releases the turn of a
/// process that dies holding it. A line waits at most three seconds for its turn and then goes
/// out unserialised, with one warning per process; from then on the process takes only turns
/// that are free at once. Both switches are read once per process, on first need.
///
/// A console line is written whole with write(2), after what the program put into the same
/// standard stream before. A full non-blocking descriptor is waited for; a line that still
/// cannot be written (full device, closed pipe) is lost alone, the next one tries again, and
/// console_write_error() tells the program at its end.
///
/// Texts are formatted into 4096 characters: longer texts are cut to 4095. A null format makes
/// a call do nothing, fail() included. fail() and a cond_fail() whose condition holds write a
/// failure line and end the process with abort().
///
/// All state is process-wide and comes up before the ordinary static objects of a program, so
/// static initialisers may already write. Nothing is locked within a process: the module is
/// meant for single-threaded programs.
#ifndef UTILITY_OUTPUT_H
#define UTILITY_OUTPUT_H

#include <cstdarg>
#include <string>

#include "BOLT/export.h"

/// Lets the compiler check each call's arguments against its format.
#define KITE_OUTPUT_PRINTF(format_index, first_argument) \
  __attribute__((format(printf, format_index, first_argument)))

/// The output module: classified lines on the console or in the system log.
namespace output {

/// What a line is; it picks the line's label, its stream and its system-log priority.
enum output_classification {
  e_debug = 0,       ///< "Debug  : ", standard output.
  e_message = 1,     ///< "Message: ", standard output.
  e_warn = 2,        ///< "Warning: ", standard error.
  e_error = 3,       ///< "Error  : ", standard error.
  e_fail = 4,        ///< "Failure: ", standard error; fail() aborts after it.
  e_unspecific = 5,  ///< report()'s: the text alone on standard error, "Notice : " in the log.
};

/// A named source of lines; its name prefixes every text it writes. Not copyable.
class KITE_EXPORT component {
 public:
  /// A null name is the empty name.
  explicit component(const char* name);
  virtual ~component();

  /// \name One line under its classification
  /// Each formats msg printf-style; a null msg does nothing.
  ///@{
  void debug(const char* msg, ...) KITE_OUTPUT_PRINTF(2, 3);    ///< A debug line.
  void message(const char* msg, ...) KITE_OUTPUT_PRINTF(2, 3);  ///< A message line.
  void warn(const char* msg, ...) KITE_OUTPUT_PRINTF(2, 3);     ///< A warning line.
  void error(const char* msg, ...) KITE_OUTPUT_PRINTF(2, 3);    ///< An error line.
  /// "<component name>: <text>" alone, without time stamp, executable or label.
  void report(const char* msg, ...) KITE_OUTPUT_PRINTF(2, 3);
  /// A failure line, then abort(), unless msg is null.
  void fail(const char* msg, ...) KITE_OUTPUT_PRINTF(2, 3);
  ///@}

  /// \name The same, written only when validity holds
  /// Arguments are evaluated all the same; only the formatting is saved.
  ///@{
  void cond_debug(bool validity, const char* msg, ...) KITE_OUTPUT_PRINTF(3, 4);    ///< debug()
  void cond_message(bool validity, const char* msg, ...) KITE_OUTPUT_PRINTF(3, 4);  ///< message()
  void cond_warn(bool validity, const char* msg, ...) KITE_OUTPUT_PRINTF(3, 4);     ///< warn()
  void cond_error(bool validity, const char* msg, ...) KITE_OUTPUT_PRINTF(3, 4);    ///< error()
  void cond_fail(bool validity, const char* msg, ...) KITE_OUTPUT_PRINTF(3, 4);     ///< fail()
  ///@}

  /// One message line per bytes_per_line bytes, as upper-case digit pairs separated by
  /// blanks, e.g. "00 1F". A width of 0 is a failure (the process aborts).
  void dump_hex(const unsigned char* buffer, unsigned buffer_len, unsigned bytes_per_line);

  /// Writes an already formatted text (not a format) under kindof.
  void general_output_function(output_classification kindof, const char* str);
  /// Formats msg with argp and writes it under kindof; does nothing for a null msg. Every
  /// printf-style call above ends here. Does not abort for e_fail.
  void voutput(output_classification kindof, const char* msg, va_list argp)
      KITE_OUTPUT_PRINTF(3, 0);

  /// The unnamed component behind the namespace-level functions.
  static component& get_default_component() { return the_default_component; }

  component() = delete;
  component(const component&) = delete;
  component& operator=(const component&) = delete;

 private:
  KITE_NO_EXPORT void write_line(output_classification kindof, const char* str,
                                 bool time_stamp_allowed);
  KITE_NO_EXPORT std::string console_line(output_classification kindof, const std::string& usertext,
                                          bool time_stamp_allowed);

  std::string m_name;
  // The unnamed component behind the namespace-level functions.
  static component the_default_component;
};

/// \name The same operations on the default component
///@{
KITE_EXPORT void debug(const char* msg, ...) KITE_OUTPUT_PRINTF(1, 2);    ///< component::debug()
KITE_EXPORT void message(const char* msg, ...) KITE_OUTPUT_PRINTF(1, 2);  ///< component::message()
KITE_EXPORT void warn(const char* msg, ...) KITE_OUTPUT_PRINTF(1, 2);     ///< component::warn()
KITE_EXPORT void error(const char* msg, ...) KITE_OUTPUT_PRINTF(1, 2);    ///< component::error()
KITE_EXPORT void report(const char* msg, ...) KITE_OUTPUT_PRINTF(1, 2);   ///< component::report()
KITE_EXPORT void fail(const char* msg, ...) KITE_OUTPUT_PRINTF(1, 2);     ///< component::fail()
/// component::cond_debug()
KITE_EXPORT void cond_debug(bool validity, const char* msg, ...) KITE_OUTPUT_PRINTF(2, 3);
/// component::cond_message()
KITE_EXPORT void cond_message(bool validity, const char* msg, ...) KITE_OUTPUT_PRINTF(2, 3);
/// component::cond_warn()
KITE_EXPORT void cond_warn(bool validity, const char* msg, ...) KITE_OUTPUT_PRINTF(2, 3);
/// component::cond_error()
KITE_EXPORT void cond_error(bool validity, const char* msg, ...) KITE_OUTPUT_PRINTF(2, 3);
/// component::cond_fail()
KITE_EXPORT void cond_fail(bool validity, const char* msg, ...) KITE_OUTPUT_PRINTF(2, 3);
/// component::dump_hex()
KITE_EXPORT void dump_hex(const unsigned char* buffer, unsigned buffer_len,
                          unsigned bytes_per_line);
///@}

/// When UTILITY_USE_SYSLOG is on, opens the system log with facility LOG_LOCAL0 and the
/// program's name as identity. Without this call, system-log lines carry the default
/// facility.
KITE_EXPORT void set_alternative_logging_capability();

/// The tag in brackets after the executable's name, "C++" at start; null leaves it
/// unchanged.
KITE_EXPORT void set_language(const char* name);

/// Names the executable in console lines instead of the name found from the process: the
/// part after the last '/', unless that part is empty (then the whole text). Null does
/// nothing.
KITE_EXPORT void set_executable_name(const char* name);
/// A copy of the executable's name, found first if need be; release it with free().
KITE_EXPORT const char* get_executable_name();

/// Console lines from now on begin with the time of day, "hh:mm:ss ".
KITE_EXPORT void time_output_on();
/// Console lines from now on carry no time stamp (the state at start).
KITE_EXPORT void time_output_off();

/// The error number of the first console line that could not be written, 0 while every line
/// got out. A program reports it before it exits, so lost lines never pass for success.
KITE_EXPORT int console_write_error();

}  // namespace output

/// output::set_language() for C callers.
extern "C" KITE_EXPORT void output_set_language(const char* name);

#endif
