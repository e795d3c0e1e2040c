// SPDX-License-Identifier: MIT
// Fuzzes the switch parsers with any variable text and delimiter: the flag against its
// rule, the level against the C library's strtoul as it behaves with a 32-bit unsigned
// long, and both list operations against a plain split.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/fuzz_check.h"
#include "utility/valuescan.h"

namespace {

// The text of a variable, without the environment in between.
class text_adapter : public valuescan_base {
 public:
  explicit text_adapter(const char* text) : text_(text) {}
  std::string get_str() const override { return text_; }

 private:
  std::string text_;
};

// strtoul in base 10 with a 32-bit unsigned long, from the 64-bit one: a magnitude beyond
// 32 bits saturates, a minus sign negates within 32 bits.
uint32_t strtoul32(const std::string& text) {
  const char* p = text.c_str();
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  const bool negative = *p == '-';
  errno = 0;
  const unsigned long long wide = std::strtoull(text.c_str(), nullptr, 10);
  const unsigned long long magnitude = negative ? 0 - wide : wide;
  if (errno == ERANGE || magnitude > UINT32_MAX) return UINT32_MAX;
  return negative ? static_cast<uint32_t>(0 - magnitude) : static_cast<uint32_t>(magnitude);
}

std::vector<std::string> split(const std::string& text, char delimiter) {
  std::vector<std::string> fields;
  if (text.empty()) return fields;
  size_t start = 0;
  for (size_t at; (at = text.find(delimiter, start)) != std::string::npos; start = at + 1)
    fields.push_back(text.substr(start, at - start));
  fields.push_back(text.substr(start));
  return fields;
}

std::vector<std::string> to_vector(const string_list_parser::value_list& list) {
  std::vector<std::string> fields;
  for (size_t i = 0; i < list.size(); ++i) fields.push_back(list[i]);
  return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char delimiter = static_cast<char>(data[0]);
  // A variable's text ends at its first zero byte.
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string variable = text.substr(0, text.find('\0'));

  valuescan_impl_template<string_flag_parser, text_adapter> flag(variable.c_str());
  kite_test::fuzz_check(flag.is_on() == !(variable.empty() || variable == "0"), "flag");

  valuescan_impl_template<string_level_parser, text_adapter> level(variable.c_str());
  const uint32_t converted = strtoul32(variable);
  const unsigned long expected = converted == UINT32_MAX ? 0 : converted;
  kite_test::fuzz_check(level.level() == expected, "level");
  kite_test::fuzz_check(level.is_on() == (expected != 0), "level on");

  valuescan_impl_template<string_list_parser, text_adapter> list(variable.c_str());
  const std::vector<std::string> fields = split(variable, delimiter);
  kite_test::fuzz_check(to_vector(list.splitValues(delimiter)) == fields, "splitValues");
  std::vector<std::string> kept;
  for (const std::string& field : fields)
    if (!field.empty()) kept.push_back(field);
  bool empty_seen = true;
  kite_test::fuzz_check(to_vector(list.splitAndPruneValues(empty_seen, delimiter)) == kept,
                        "pruned fields");
  kite_test::fuzz_check(empty_seen == (kept.size() != fields.size()), "empty field flag");
  return 0;
}
