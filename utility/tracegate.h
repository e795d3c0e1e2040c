// SPDX-License-Identifier: MIT
#ifndef UTILITY_TRACEGATE_H
#define UTILITY_TRACEGATE_H

#include "BOLT/export.h"
#include "utility/output.h"

/// A debug channel that writes through the output module: a named on/off tap for diagnostics.
///
/// Whether a channel speaks is decided once, at construction, from level switches: "DBG_ALL"
/// switches every channel on with its level; otherwise "DBG_" followed by the channel's name
/// switches this one. A word without leading digits reads as level 0, so it leaves a channel
/// off. Unless the flag "DBG_NO_TIMESTAMPS" is on, building a channel also switches on time
/// stamps for every later console line of the output module.
///
/// Lines are written with the classification e_debug: print() through the output module's
/// default component, component::print() through an output component that carries the
/// component's name. A formatted text holds at most 1023 characters; a longer one is cut.
/// A constructed channel is only read and is a plain copyable value; it holds no lock. While
/// a channel is off, printing costs one test of a bool.
///
/// The channel over the log stream (errorhandling/tracegate.h) has the same class names:
/// a program links one of the two.
class KITE_EXPORT tracegate {
 public:
  /// Reads the channel's switches; a null name leaves only "DBG_ALL" to decide.
  explicit tracegate(const char* name);
  virtual ~tracegate() {}

  /// Whether the channel speaks.
  bool is_on() const { return _dbg; }
  /// The deciding variable's level, 0 while off; the channel itself does not filter by it.
  int level() const { return _level; }

  /// One debug line through the default component. Nothing while off; a null msg on an
  /// enabled channel ends the process.
  void print(const char* msg, ...) const KITE_OUTPUT_PRINTF(2, 3);

  /// Writes under a name of its own while its channel is on; prints no enter or leave lines.
  /// The name is copied. Not copyable.
  class KITE_EXPORT component {
   public:
    /// A channel pe and the name of the output component it writes through. A null
    /// channel ends the process.
    component(const tracegate* pe, const char* name);
    virtual ~component() {}

    /// One debug line under the component's name, while the channel is on.
    void print(const char* msg, ...) KITE_OUTPUT_PRINTF(2, 3);

    component() = delete;
    component(const component&) = delete;
    component& operator=(const component&) = delete;

   private:
    const tracegate* m_pe;
    output::component m_oc;
  };

 private:
  bool _dbg;
  int _level;
};

#endif
