// SPDX-License-Identifier: MIT
#include "nibbler/Error.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

TEST(Error, DefaultMessageIsUnknown) {
  EXPECT_STREQ(Error().what(), "Unknown");
}

TEST(Error, FormatsItsArguments) {
  EXPECT_STREQ(Error("read only %ld bytes after offset %lx", -16L, 0x1000UL).what(),
               "read only -16 bytes after offset 1000");
}

TEST(Error, CutsLongMessagesTo127Characters) {
  const std::string longname(300, 'n');
  const Error e("file %s", longname.c_str());
  EXPECT_EQ(std::string(e.what()), ("file " + longname).substr(0, 127));
}

TEST(Systemerror, ReplacesPercentMWithTheErrorText) {
  const Systemerror e(ENOENT, "open", "SliceLoad::load: Can't open %s: %m", "nofile");
  EXPECT_STREQ(e.what(), "SliceLoad::load: Can't open nofile: No such file or directory");
  EXPECT_EQ(e.errornr(), ENOENT);
  EXPECT_STREQ(e.call(), "open");
}

TEST(Systemerror, ArgumentsAfterPercentMKeepTheirPlaces) {
  const Systemerror e(EACCES, "read", "%s %m (%d) %s", "a", 7, "b");
  EXPECT_STREQ(e.what(), "a Permission denied (7) b");
}

TEST(Systemerror, EveryPercentMReadsAsTheGivenError) {
  errno = EINTR;
  const Systemerror e(ESPIPE, "lseek", "%m/%m");
  EXPECT_STREQ(e.what(), "Illegal seek/Illegal seek");
  EXPECT_EQ(errno, EINTR) << "errno of the caller must survive";
}

TEST(Systemerror, PercentMFarIntoALongFormatIsStillReplaced) {
  const std::string format = std::string(120, '.') + "%m%s";
  errno = EINTR;
  const Systemerror e(ENOENT, "open", format.c_str(), "");
  EXPECT_EQ(std::string(e.what()), (std::string(120, '.') + std::strerror(ENOENT)).substr(0, 127));
}
