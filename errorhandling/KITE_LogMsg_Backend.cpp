// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Backend.h"

KITE_LogMsg_Backend::KITE_LogMsg_Backend() : next_(nullptr), logupto_(MAXPRIO) {}

KITE_LogMsg_Backend::~KITE_LogMsg_Backend() = default;
