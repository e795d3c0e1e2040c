// SPDX-License-Identifier: MIT
// framerdemo: feeds one fixed line to a message assembler and prints every message it
// delivers. Ignores its arguments (but a lone --help or --version) and reads no input;
// "DBG_KITE_Framer" or "DBG_ALL" set to a level adds the assembler's trace on standard error.
#include <cstring>
#include <iostream>

#include "KITE_READ2/KITE_Framer.h"
#include "programs/exit_status.h"
#include "programs/help_version.h"

namespace {

class MyPrinter : public KITE::Message_Observer {
 public:
  void process(KITE_Message_Block* mb) override {
    std::cout.write(mb->rd_ptr(), static_cast<std::streamsize>(mb->length()));
    mb->release();
  }
};

}  // namespace

int main(int argc, char* argv[]) {
  if (kite_program::answer_help_or_version(
          argc, argv, "framerdemo", "usage: framerdemo",
          "Feeds one fixed line through the kite message assembler and prints what it delivers."))
    return kite_program::checked_exit_status(0);
  MyPrinter printer;
  KITE::Message_Assembler assembler(&printer);
  const char* text = "Dies ist zu interpretieren\n";
  assembler.input(text, static_cast<int>(std::strlen(text)));
  return kite_program::checked_exit_status(0);
}
