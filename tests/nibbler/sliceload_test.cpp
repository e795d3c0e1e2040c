// SPDX-License-Identifier: MIT
#include "nibbler/SliceLoad.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace {

std::string segment_bytes(SliceLoad& s) {
  return std::string(static_cast<const char*>(s.seg().begin()), s.seg().size());
}

// Two pages whose every byte tells its position: byte i holds i mod 251.
std::string two_pages() {
  std::string bytes(8192, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i % 251);
  return bytes;
}

template <class E>
std::optional<E> thrown_by_load(SliceLoad& s, const std::string& file, off_t off, size_t size) {
  try {
    s.load(file.c_str(), off, size);
  } catch (const E& e) {
    return e;
  }
  return std::nullopt;
}

}  // namespace

TEST(SliceLoad, TenByteFile) {
  kite_test::TempDir dir;
  const std::string file = dir.file("ten", "0123456789");
  SliceLoad s;
  s.load(file.c_str(), 0, 10);
  EXPECT_EQ(segment_bytes(s), "0123456789");

  const auto e = thrown_by_load<Error>(s, file, 0, 11);
  ASSERT_TRUE(e);
  EXPECT_STREQ(e->what(), "SliceLoad::load: read only 10 bytes after offset 0");
  EXPECT_EQ(segment_bytes(s), "0123456789") << "a failed load keeps the segment";
}

TEST(SliceLoad, OffsetInsideTheSecondPage) {
  kite_test::TempDir dir;
  const std::string bytes = two_pages();
  const std::string file = dir.file("pages", bytes);
  SliceLoad s;
  s.load(file.c_str(), 0x1010, 4080);
  EXPECT_EQ(s.fileoffset(), 0x1000);
  EXPECT_EQ(s.segoffset(), 0x10);
  EXPECT_EQ(segment_bytes(s), bytes.substr(0x1010, 4080));

  const auto e = thrown_by_load<Error>(s, file, 0x1010, 4096);
  ASSERT_TRUE(e);
  EXPECT_STREQ(e->what(), "SliceLoad::load: read only 4080 bytes after offset 1000");
}

TEST(SliceLoad, OffsetBehindTheEndOfTheData) {
  kite_test::TempDir dir;
  const std::string file = dir.file("short", std::string(0x1008, 'x'));
  SliceLoad s;
  const auto e = thrown_by_load<Error>(s, file, 0x1010, 1);
  ASSERT_TRUE(e);
  EXPECT_STREQ(e->what(), "SliceLoad::load: read only -8 bytes after offset 1000");
}

TEST(SliceLoad, CopyHasItsOwnSegment) {
  kite_test::TempDir dir;
  const std::string first = dir.file("first", "0123456789");
  const std::string second = dir.file("second", "abcdefghij");
  auto original = std::make_unique<SliceLoad>();
  original->load(first.c_str(), 2, 5);
  // A failed load keeps the segment where it was, over the bytes it read.
  EXPECT_THROW(original->load(second.c_str(), 8, 5), Error);
  SliceLoad copy(*original);
  SliceLoad assigned;
  assigned = *original;
  original.reset();
  for (SliceLoad* s : {&copy, &assigned}) {
    const char* begin = static_cast<const char*>(s->seg().begin());
    EXPECT_TRUE(begin >= reinterpret_cast<const char*>(s) &&
                begin + s->seg().size() <= reinterpret_cast<const char*>(s + 1));
    EXPECT_EQ(segment_bytes(*s), "cdefg");
  }
}

TEST(SliceLoad, MissingFile) {
  kite_test::TempDir dir;
  const std::string file = dir.path("absent");
  SliceLoad s;
  const auto e = thrown_by_load<Systemerror>(s, file, 0, 1);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->errornr(), ENOENT);
  EXPECT_STREQ(e->call(), "open");
  EXPECT_EQ(std::string(e->what()),
            "SliceLoad::load: Can't open " + file + ": " + std::strerror(ENOENT));
}

TEST(SliceLoad, ReadFailure) {
  kite_test::TempDir dir;
  SliceLoad s;
  const auto e = thrown_by_load<Systemerror>(s, dir.path("."), 0, 1);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->errornr(), EISDIR);
  EXPECT_STREQ(e->call(), "read");
  EXPECT_EQ(std::string(e->what()),
            "SliceLoad::load: read(" + dir.path(".") + ",4096) at 0:Is a directory");
}

TEST(SliceLoad, NegativeOffsetFailsTheSeek) {
  kite_test::TempDir dir;
  const std::string file = dir.file("f", "abc");
  SliceLoad s;
  const auto e = thrown_by_load<Systemerror>(s, file, -1, 1);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->errornr(), EINVAL);
  EXPECT_STREQ(e->call(), "lseek");
  EXPECT_EQ(std::string(e->what()),
            "SliceLoad::load: lseek(" + file + ",fffff000):Invalid argument");
}

// A pipe hands its data over in the pieces the writer sends; loading at offset 0 never
// seeks and collects the pieces until the page or the data ends.
TEST(SliceLoad, PipeLoadsFromItsStart) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer([fd = fds[1]] {
    for (const char* piece : {"first ", "second ", "third"}) {
      EXPECT_GT(write(fd, piece, std::strlen(piece)), 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    close(fd);
  });
  SliceLoad s;
  const std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
  EXPECT_NO_THROW(s.load(path.c_str(), 0, 18));
  writer.join();
  close(fds[0]);
  EXPECT_EQ(segment_bytes(s), "first second third");
}

TEST(SliceLoad, PipeCannotSeek) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  SliceLoad s;
  const std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
  const auto e = thrown_by_load<Systemerror>(s, path, 0x1000, 1);
  close(fds[0]);
  close(fds[1]);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->errornr(), ESPIPE);
  EXPECT_STREQ(e->call(), "lseek");
  EXPECT_EQ(std::string(e->what()), "SliceLoad::load: lseek(" + path + ",1000):Illegal seek");
}

TEST(SliceLoad, SparseFileBeyondFourGiB) {
  kite_test::TempDir dir;
  const off_t six_gib = off_t(6) << 30;
  const std::string file = dir.file_at("sparse", "marker at 6 GiB", six_gib + 0x10, six_gib + 0x20);
  SliceLoad s;
  s.load(file.c_str(), six_gib + 0x10, 15);
  EXPECT_EQ(s.fileoffset(), six_gib);
  EXPECT_EQ(segment_bytes(s), "marker at 6 GiB");

  const auto past_data = thrown_by_load<Error>(s, file, six_gib + 0x10, 17);
  ASSERT_TRUE(past_data);
  EXPECT_STREQ(past_data->what(), "SliceLoad::load: read only 16 bytes after offset 180000000");
  const auto past_end = thrown_by_load<Error>(s, file, six_gib + 0x1000, 1);
  ASSERT_TRUE(past_end);
  EXPECT_STREQ(past_end->what(), "SliceLoad::load: read only 0 bytes after offset 180001000");
}
