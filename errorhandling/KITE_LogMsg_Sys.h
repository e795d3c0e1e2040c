// SPDX-License-Identifier: MIT
// KITE_LogMsg_Sys: the system plumbing that the backends share. Internal to kite::log.
//
// Every function here may run under the backend manager's mutex: none of them logs.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_SYS_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_SYS_H

#include <sys/types.h>
#include <sys/uio.h>

#include <ctime>

// For the few functions of a line's path to a destination that are worth no frame of their
// own: a line to standard error returns through every frame between its caller and write(2),
// and after a system call each return is mispredicted on processors whose kernel clears the
// return predictions (about 8 ns a frame, measured). Only optimised builds inline them: an
// unoptimised one (the coverage run) would count the branches of every inlined copy apart.
#if defined(__OPTIMIZE__)
#define KITE_LOG_INLINE [[gnu::always_inline]] inline
#else
#define KITE_LOG_INLINE inline
#endif

namespace KITE_LogMsg_Sys {

// Writes the log line text (len bytes; it may hold newlines) to fd as whole records, for
// destinations that store lines: each physical line starts with prefix (prefix_len bytes,
// none when 0), and the last one ends with a newline where text lacks one (a line cut at its
// limit). Up to 31 prefixed lines, or the whole unprefixed text, go with one system call
// (write(2) for one buffer, writev(2) for more), unless the system takes only part of them;
// longer texts take more, each ending at a line's end. A partial or interrupted write is
// continued; what was written before a failed write stays written. A len of zero or less writes
// nothing. Returns 0 or the errno of the write that failed.
int write_lines(int fd, const char* prefix, size_t prefix_len, const char* text, int len);

// 0 when something listens at the Unix socket path (a datagram socket, or a stream socket
// where a datagram one is refused, as syslog(3) tries them), else why not, as an errno
// value. Connects and closes again; sends nothing.
int socket_error(const char* path);

// The identity for the system log, the journal and file lines: the last path component of
// the manager's program name at the log call of the line being written (see
// KITE_LogMsg_Stamp) once init() gave one, else the C library's short program name. The text
// stays valid for the life of the process.
const char* identity();

// priority as a syslog level: below 0 is 0 (emergency), above 7 is 7 (debug).
int level(int priority);

// getpid() of the calling process, without a system call each time; a child made by fork()
// gets its own.
pid_t process_id();

}  // namespace KITE_LogMsg_Sys

#endif
