// SPDX-License-Identifier: MIT
/// \file
/// Switch parsers: how the text of a switch is read, apart from where the text comes from.
///
/// A switch object joins one parser with one source adapter through valuescan_impl_template:
///
///     valuescan_impl_template<Parser, Adapter>
///       ├── Parser  (string_flag_parser | string_level_parser | string_list_parser)
///       │     └── valuescan_base      parser algorithms call get_str() on this root ...
///       └── Adapter (env_adapter)
///             └── valuescan_base      ... and the joiner answers it with the adapter's text
///
/// The two valuescan_base roots are separate (no virtual base); the joiner's get_str() overrides
/// both. The source text is fixed when the switch is built. Flag and level parsers interpret it
/// on their first query and keep the answer; list parsers keep nothing and split on every call.
/// Nothing is locked: one switch object is used by one thread at a time.
#ifndef UTILITY_VALUESCAN_H
#define UTILITY_VALUESCAN_H

#include <ace/Vector_T.h>

#include <string>

#include "BOLT/export.h"

/// The abstract root of parsers and source adapters: the text of a switch.
class KITE_EXPORT valuescan_base {
 public:
  /// The switch's text, as its source gave it when the switch was built.
  virtual std::string get_str() const = 0;
  virtual ~valuescan_base() {}
};

/// On/off: off when the text is empty or exactly "0", on for every other text ("00", "no",
/// " 0" included).
class KITE_EXPORT string_flag_parser : public valuescan_base {
 public:
  string_flag_parser() : switch_state_checked(false), switch_is_on(false) {}

  /// Whether the switch is on; the text is read at the first call only.
  bool is_on();

 private:
  bool switch_state_checked;
  bool switch_is_on;
};

/// A numeric level, read in base 10 as strtoul reads it with a 32-bit unsigned long: leading
/// blanks and a sign are accepted, trailing non-digits ignored, "-2" is 4294967294. A text
/// without leading digits, one beyond 32 bits and the value 4294967295 all give level 0, and
/// any non-zero level means on.
class KITE_EXPORT string_level_parser : public valuescan_base {
 public:
  string_level_parser() : switch_level_checked(false), switch_level(0) {}

  /// The level; the text is read at the first call only.
  unsigned long level();
  /// Whether the level is other than 0.
  bool is_on() { return level() != 0; }

 private:
  bool switch_level_checked;
  unsigned long switch_level;
};

/// A list of fields separated by a delimiter: a non-empty text with n delimiters has n + 1
/// fields, any of which may be empty; an empty text has none. The result starts with room for
/// 32 entries and grows as needed, so every field is returned.
class KITE_EXPORT string_list_parser : public valuescan_base {
 public:
  /// The fields of a list, in order.
  typedef ACE_Vector<std::string, 32> value_list;

  /// Every field in order, empty ones included. Splits the text anew at each call and
  /// copies every field.
  value_list splitValues(char delimiter) const;
  /// The non-empty fields in order; emptyValuesEncountered tells whether any field was
  /// dropped. Splits anew at each call, as splitValues does.
  value_list splitAndPruneValues(bool& emptyValuesEncountered, char delimiter) const;
};

/// A usable switch: Parser interprets the text that Adapter read from its source. Not
/// copyable.
template <class Parser, class Adapter>
class valuescan_impl_template : public Parser, public Adapter {
 public:
  /// Reads the source named name (an environment variable for env_adapter), once.
  explicit valuescan_impl_template(const char* name) : Parser(), Adapter(name) {}
  ~valuescan_impl_template() override {}

  /// The adapter's text, for the parser.
  std::string get_str() const override { return Adapter::get_str(); }

  valuescan_impl_template() = delete;
  valuescan_impl_template(const valuescan_impl_template&) = delete;
  valuescan_impl_template& operator=(const valuescan_impl_template&) = delete;
};

#endif
