// SPDX-License-Identifier: MIT
#include "utility/valuescan.h"

#include <cctype>
#include <cstdint>

namespace {

// strtoul in base 10 as it behaves with a 32-bit unsigned long, whatever the width of the
// platform's: a magnitude beyond 32 bits saturates to the 32-bit maximum, and a minus sign
// negates within 32 bits. Levels keep that range on every platform.
unsigned long convert_level(const std::string& text) {
  const char* p = text.c_str();
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  uint64_t magnitude = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
    if (magnitude > UINT32_MAX) return UINT32_MAX;
  }
  const uint32_t value = static_cast<uint32_t>(magnitude);
  return negative ? static_cast<uint32_t>(0u - value) : value;
}

}  // namespace

bool string_flag_parser::is_on() {
  if (switch_state_checked) return switch_is_on;
  const std::string input = get_str();
  switch_is_on = !(input.empty() || input == "0");
  switch_state_checked = true;
  return switch_is_on;
}

unsigned long string_level_parser::level() {
  if (switch_level_checked) return switch_level;
  switch_level = 0;
  const std::string input = get_str();
  if (!input.empty()) {
    const unsigned long conversion_level = convert_level(input);
    // 0 is no level, and the maximum is what an overflowing number or "-1" turns into.
    if (conversion_level != 0 && conversion_level != UINT32_MAX) switch_level = conversion_level;
  }
  switch_level_checked = true;
  return switch_level;
}

string_list_parser::value_list string_list_parser::splitValues(char delimiter) const {
  const std::string input = get_str();
  value_list outlist;
  if (input.empty()) return outlist;
  std::string::size_type start_pos = 0;
  for (;;) {
    const std::string::size_type end_pos = input.find(delimiter, start_pos);
    if (end_pos == std::string::npos) {
      outlist.push_back(input.substr(start_pos));
      return outlist;
    }
    outlist.push_back(input.substr(start_pos, end_pos - start_pos));
    start_pos = end_pos + 1;
  }
}

string_list_parser::value_list string_list_parser::splitAndPruneValues(bool& emptyValuesEncountered,
                                                                       char delimiter) const {
  emptyValuesEncountered = false;
  const value_list tmplist = splitValues(delimiter);
  value_list outlist;
  for (size_t i = 0; i < tmplist.size(); ++i) {
    if (tmplist[i].empty())
      emptyValuesEncountered = true;
    else
      outlist.push_back(tmplist[i]);
  }
  return outlist;
}
