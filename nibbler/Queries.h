// SPDX-License-Identifier: MIT
// The query protocol of the segment bit tool, apart from its main so that it can be
// driven from any pair of streams.
//
//   in:   "<bitoffset> <len>" pairs of decimal numbers, separated by any white space
//   out:  "offset=<bitoffset> len=<len>", then the field in lower-case hexadecimal
//   err:  the prompt "bitoffset len ?" before every query; the message of a field that
//         does not lie within the segment, after which the next query is read
//
// Reading stops at the end of in, at the first text that is not such a number, or once an
// answer could not be written to out.
#ifndef NIBBLER_QUERIES_H
#define NIBBLER_QUERIES_H

#include <istream>
#include <ostream>

#include "nibbler/Nibbler.h"

void answer_queries(Nibbler& nibbler, std::istream& in, std::ostream& out, std::ostream& err);

#endif
