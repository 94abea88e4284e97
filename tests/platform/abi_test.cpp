// What every build must hold, 32-bit ARM included: 64-bit file offsets and
// time values, and the kernel's own layout of input records.
#include <fcntl.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/device_root.h"

namespace {

// A 32-bit build without large-file support or 64-bit time_t fails here
// rather than at run time (EOVERFLOW from readdir, a wrapped clock).
static_assert(sizeof(off_t) == 8, "build 32-bit targets with -D_FILE_OFFSET_BITS=64");
static_assert(sizeof(time_t) == 8, "build 32-bit targets with -D_TIME_BITS=64");
// The kernel's record: two longs of time, then type, code, value. With 64-bit
// time_t on a 32-bit ABI the header must still give the kernel's 16 bytes.
static_assert(sizeof(input_event) == 2 * sizeof(long) + 8, "input_event must match the kernel's record");

TEST(AbiTest, TimesPast2038AndFilesPast4GiB) {
  time_t t = 4102444800;  // 2100-01-01 00:00:00 UTC
  tm parts = {};
  ASSERT_NE(gmtime_r(&t, &parts), nullptr);
  EXPECT_EQ(parts.tm_year + 1900, 2100);

  lumo_test::DeviceRoot root;
  root.write("/big", "");
  std::string path = root.path("/big");
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const off_t size = (off_t{1} << 32) + 5;  // sparse: no disk space used
  EXPECT_EQ(ftruncate(fd, size), 0);
  close(fd);
  struct stat st = {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, size);
}

}  // namespace
