// SPDX-License-Identifier: MIT
// Reads a log file line by line, as an operator would: a line the file backend stamped
//
//   2026-12-09T06:35:12.123456+00:00 myserver[812] warning: disk almost full
//
// splits into its stamp, identity, process id, level name and text; any other line is text
// alone. Tests that care only for what was logged compare texts(), the same for bare and
// stamped lines.
#ifndef KITE_TESTS_SUPPORT_FILE_LINES_H
#define KITE_TESTS_SUPPORT_FILE_LINES_H

#include <chrono>
#include <cstdio>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

namespace kite_test {

struct FileLine {
  std::string stamp;  // empty: the line has none
  std::string identity;
  long pid = 0;
  std::string level;
  std::string text;
  bool ended = true;  // false: the file ends within this line
};

inline std::vector<FileLine> file_lines(const std::string& contents) {
  static const std::regex stamped(
      "([0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}[+-][0-9]{2}:[0-9]{2}) "
      "([^ ]+)\\[([0-9]+)\\] (emerg|alert|crit|err|warning|notice|info|debug): ([^]*)");
  std::vector<FileLine> lines;
  for (size_t at = 0; at < contents.size();) {
    const size_t end = contents.find('\n', at);
    FileLine line;
    line.ended = end != std::string::npos;
    const std::string whole = contents.substr(at, line.ended ? end - at : std::string::npos);
    std::smatch match;
    if (std::regex_match(whole, match, stamped)) {
      line.stamp = match[1];
      line.identity = match[2];
      line.pid = std::stol(match[3]);
      line.level = match[4];
      line.text = match[5];
    } else {
      line.text = whole;
    }
    lines.push_back(line);
    at = line.ended ? end + 1 : contents.size();
  }
  return lines;
}

// The system clock in microseconds since the epoch, to compare stamps with.
inline long long microseconds_now() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The moment a stamp names, in microseconds since the epoch, and its offset from UTC in
// seconds; false when stamp is no stamp.
inline bool stamp_time(const std::string& stamp, long long& microseconds, long& offset) {
  tm fields = {};
  long fraction = 0;
  char sign = 0;
  int hours = 0, minutes = 0;
  if (std::sscanf(stamp.c_str(), "%d-%d-%dT%d:%d:%d.%6ld%c%d:%d", &fields.tm_year, &fields.tm_mon,
                  &fields.tm_mday, &fields.tm_hour, &fields.tm_min, &fields.tm_sec, &fraction,
                  &sign, &hours, &minutes) != 10)
    return false;
  fields.tm_year -= 1900;
  fields.tm_mon -= 1;
  offset = (sign == '-' ? -1 : 1) * (hours * 3600L + minutes * 60L);
  microseconds = (static_cast<long long>(timegm(&fields)) - offset) * 1000000 + fraction;
  return true;
}

// The text of each line with its newline, if it has one.
inline std::vector<std::string> texts(const std::string& contents) {
  std::vector<std::string> result;
  for (const FileLine& line : file_lines(contents))
    result.push_back(line.text + (line.ended ? "\n" : ""));
  return result;
}

}  // namespace kite_test

#endif
