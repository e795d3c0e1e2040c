// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Backend.h"

KITE_LogMsg_Backend::KITE_LogMsg_Backend() : logupto_(MAXPRIO), next_(nullptr) {}

KITE_LogMsg_Backend::~KITE_LogMsg_Backend() = default;
