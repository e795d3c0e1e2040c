// SPDX-License-Identifier: MIT
#ifndef KITE_ERRORHANDLING_TRACEGATE_H
#define KITE_ERRORHANDLING_TRACEGATE_H

#include <cstdarg>

#include "BOLT/export.h"

#define KITE_TRACE_PRINTF(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))

/// tracegate: a named debug channel that writes through the calling thread's log stream,
/// at priority LDEBUG.
///
///     static tracegate debug("KITE_Framer");          // reads its switches once, here
///     debug.print("state %d", n);                      // one line, only while the channel is on
///     {
///       tracegate::component scope(&debug, "parse");   // "parse: enter"
///       scope.print("x=%d", 5);                        // "parse: x=5"
///     }                                                // "parse: leave"
///
/// Switching is decided at construction and never again. "DBG_ALL" with a level other than 0
/// turns every channel on at that level; otherwise "DBG_<name>" decides for this channel. Both
/// are level switches (utility/env_adapter.h): "3" is on at level 3, a word such as "yes" is
/// off, "-2" is on at level -2. Unless the flag "DBG_NO_TIMESTAMPS" is on, construction asks
/// the constructing thread's log stream for time stamps, and so creates that stream.
///
/// A constructed channel is a plain, copyable value that is only read: any thread may print,
/// each through its own log stream, and nothing is locked. While a channel is off, print and
/// component::print cost one test of a bool; no argument is touched.
///
/// The formats are the log stream's: its \@-tokens and "\%m" are expanded, and a newline is
/// added when the format lacks one. A null format on a channel that is on ends the process.
///
/// utility/tracegate.h is a second variant with the same names that writes through the
/// output module: never link both into one program.
class KITE_EXPORT tracegate {
 public:
  /// Reads the channel's switches; name is the channel's, and a null name leaves only
  /// "DBG_ALL" to decide.
  explicit tracegate(const char* name);
  tracegate(const tracegate&) = default;             ///< Copies the decision, not a switch.
  tracegate& operator=(const tracegate&) = default;  ///< Copies the decision, not a switch.
  virtual ~tracegate();

  /// Whether the channel speaks.
  bool is_on() const { return _dbg; }
  /// The deciding variable's level, 0 while off. Nothing here filters by it.
  int level() const { return _level; }

  /// One line at LDEBUG; nothing while the channel is off. Passes on the log stream's
  /// MutexFail.
  void print(const char* format_str, ...) KITE_TRACE_PRINTF(2, 3);
  /// Writes without looking at the switch: callers test is_on() first.
  void vprint(const char* format_str, va_list argp) KITE_TRACE_PRINTF(2, 0);

  /// Brackets a scope with "<name>: enter" and "<name>: leave" lines and prefixes its
  /// messages with "<name>: ". The name is not copied: it must outlive the component. A '%'
  /// in it prints literally; the log stream's \@-tokens in it would still be expanded.
  /// Not copyable.
  class KITE_EXPORT component {
   public:
    /// Writes "<name>: enter" while the channel pe is on. A null channel ends the process;
    /// a null name prints as an empty one.
    component(tracegate* pe, const char* name);
    /// Writes "<name>: leave" while the channel is on.
    virtual ~component();

    /// One line "<name>: <text>" at LDEBUG, while the channel is on; as tracegate::print.
    void print(const char* msg, ...) KITE_TRACE_PRINTF(2, 3);

    component() = delete;
    component(const component&) = delete;
    component& operator=(const component&) = delete;

   private:
    tracegate* m_pe;  // not owned
    const char* m_name;
  };

 private:
  bool _dbg;
  int _level;
};

#undef KITE_TRACE_PRINTF

#endif
