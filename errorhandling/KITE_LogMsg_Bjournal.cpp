// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Bjournal.h"

#include <sys/uio.h>
#include <unistd.h>

#include <charconv>

#include "errorhandling/KITE_LogMsg_Sys.h"
#include "errorhandling/KITE_LogMsg_Trouble.h"

// Else sd_journal_sendv would add CODE_FILE, CODE_LINE and CODE_FUNC of this file to every
// entry: the place of the backend, not of the line.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include "systemd/sd-journal.h"

namespace {

// "NAME=number" in place; returns the field.
template <size_t N>
iovec number_field(char (&place)[N], const char* name_equals, long number) {
  size_t length = std::char_traits<char>::length(name_equals);
  std::char_traits<char>::copy(place, name_equals, length);
  char* end = std::to_chars(place + length, place + N, number).ptr;
  return {place, static_cast<size_t>(end - place)};
}

iovec string_field(const std::string& field) {
  return {const_cast<char*>(field.data()), field.size()};
}

}  // namespace

KITE_LogMsg_Bjournal::KITE_LogMsg_Bjournal()
    : open_error_(KITE_LogMsg_Sys::socket_error(SOCKET_PATH)),
      trouble_(std::make_unique<KITE_LogMsg_Trouble>("journal")) {}

KITE_LogMsg_Bjournal::~KITE_LogMsg_Bjournal() = default;

void KITE_LogMsg_Bjournal::write(int priority, const char* buffer, int len) {
  if (!passes(priority)) return;
  if (open_error_) {
    trouble_->failed("nothing listens at its socket", open_error_, "lines go to standard error");
  } else if (int error = send(priority, buffer, len)) {
    trouble_->failed("sending failed", error,
                     "lines go to standard error until the journal takes one again");
  } else {
    trouble_->worked();
    return;
  }
  stderr_.write(priority, buffer, len);
}

// Returns 0 or the errno of the failed send.
int KITE_LogMsg_Bjournal::send(int priority, const char* buffer, int len) {
  if (buffer[len - 1] == '\n') --len;
  message_.assign("MESSAGE=").append(buffer, static_cast<size_t>(len));
  identifier_.assign("SYSLOG_IDENTIFIER=").append(KITE_LogMsg_Sys::identity());
  char level[16], thread[32], line[32], errnum[32];
  iovec fields[7] = {string_field(message_),
                     number_field(level, "PRIORITY=", KITE_LogMsg_Sys::level(priority)),
                     string_field(identifier_), number_field(thread, "TID=", gettid())};
  int count = 4;
  if (const KITE_LogMsg_Origin* origin = KITE_LogMsg_Origin::current()) {
    file_.assign("CODE_FILE=").append(origin->file);
    fields[count++] = string_field(file_);
    fields[count++] = number_field(line, "CODE_LINE=", origin->line);
    if (origin->errnum != 0) fields[count++] = number_field(errnum, "ERRNO=", origin->errnum);
  }
  return -sd_journal_sendv(fields, count);
}
