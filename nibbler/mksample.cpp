// SPDX-License-Identifier: MIT
// Writes the sample file that `make demo` shows sliceload on: two pages of recognisable
// bytes. It starts with A5 3C 0F, the bytes of the tool's worked query examples.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mksample output-file\n");
    return 1;
  }
  unsigned char data[8192] = {0xa5, 0x3c, 0x0f};
  const char text[] = "sliceload sample\tHello, World!\r\n";
  std::memcpy(data + 3, text, sizeof text - 1);
  for (int i = 0; i < 256; ++i) data[0x40 + i] = static_cast<unsigned char>(i);
  const char page2[] = "second page: 0x1000\n";
  std::memcpy(data + 0x1000, page2, sizeof page2 - 1);
  for (int i = 0; i < 256; ++i) data[0x1010 + i] = static_cast<unsigned char>(255 - i);

  std::FILE* f = std::fopen(argv[1], "wb");
  if (!f || std::fwrite(data, 1, sizeof data, f) != sizeof data || std::fclose(f) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
