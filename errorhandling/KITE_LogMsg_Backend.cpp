// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Backend.h"

namespace {

thread_local const KITE_LogMsg_Origin* current_origin = nullptr;

}  // namespace

const KITE_LogMsg_Origin* KITE_LogMsg_Origin::current() {
  return current_origin;
}

KITE_LogMsg_Origin::Scope::Scope(const KITE_LogMsg_Origin* origin) : outer_(current_origin) {
  current_origin = origin;
}

KITE_LogMsg_Origin::Scope::~Scope() {
  current_origin = outer_;
}

KITE_LogMsg_Backend::KITE_LogMsg_Backend() : logupto_(MAXPRIO), next_(nullptr) {}

KITE_LogMsg_Backend::~KITE_LogMsg_Backend() = default;
