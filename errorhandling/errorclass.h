// SPDX-License-Identifier: MIT
/// \file
/// Exceptions of the message kit and the logging spine.
///
/// Each carries its message in a fixed array filled once at construction, so throwing one
/// needs no allocation: NoMoreDynamicMemory is thrown exactly when memory ran out. Positions
/// are named by source name, line and function, e.g.
///
///     throw NoMoreDynamicMemory(__FILE__, __LINE__, __func__);
#ifndef KITE_ERRORHANDLING_ERRORCLASS_H
#define KITE_ERRORHANDLING_ERRORCLASS_H

#include <exception>

#include "BOLT/errmsg.h"
#include "BOLT/export.h"

/// A needed allocation yielded nothing.
class KITE_EXPORT NoMoreDynamicMemory : public std::exception {
 public:
  /// The position that needed the memory; allocates nothing.
  NoMoreDynamicMemory(const char* file, long line, const char* function);
  ~NoMoreDynamicMemory() override;
  /// "No more Memory at <file>:<line> in <function>", cut to 127 characters.
  const char* what() const noexcept override;

 private:
  BOLT::Errmsg errmsg_;
};

/// The backend manager could not take its mutex.
class KITE_EXPORT MutexFail : public std::exception {
 public:
  /// The position that wanted the mutex; allocates nothing.
  MutexFail(const char* file, long line, const char* function);
  ~MutexFail() override;
  /// "Mutex failed at <file>:<line> in <function>", cut to 127 characters.
  const char* what() const noexcept override;

 private:
  BOLT::Errmsg errmsg_;
};

#endif
