// SPDX-License-Identifier: MIT
/// \file
/// Exceptions of the segment bit tool.
///
/// Error carries a finished message in a fixed array of 128 characters, filled once at
/// construction and returned by what(); copying an Error copies the whole array.
/// Systemerror adds the error number of a failed system call and the call's name.
/// Both format like snprintf: a message longer than 127 characters is cut.
#ifndef NIBBLER_ERROR_H
#define NIBBLER_ERROR_H

#include <cstdarg>
#include <exception>

#include "BOLT/errmsg.h"
#include "BOLT/export.h"

/// A failure of the segment bit tool, with its finished message.
class KITE_EXPORT Error : public std::exception {
 public:
  /// what() reads "Unknown".
  Error();
  /// what() reads fmt formatted with the arguments, printf-style.
  explicit Error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  /// The message; lives as long as the exception.
  const char* what() const noexcept override { return errmsg; }

 protected:
  BOLT::Errmsg errmsg;  ///< The message, filled by the constructor.
};

/// A system call of the segment bit tool failed.
class KITE_EXPORT Systemerror : public Error {
 public:
  /// err is the errno of the failed call, pcall its name (a literal: it is not copied).
  /// Each "\%m" in msg reads as the system's text for err.
  Systemerror(int err, const char* pcall, const char* msg, ...)
      __attribute__((format(printf, 4, 5)));

  /// Sets all of it anew, as the constructor does, from a va_list.
  void init(int err, const char* pcall, const char* msg, va_list args)
      __attribute__((format(printf, 4, 0)));

  /// The errno of the failed call.
  int errornr() const { return errnr; }
  /// The name of the failed call.
  const char* call() const { return icall; }

 private:
  int errnr;
  const char* icall;
};

#endif
