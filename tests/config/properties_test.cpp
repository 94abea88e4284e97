// Typed property readers and writers, and the sysfs file helpers.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

#include "config/properties.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::DeviceRoot;

struct IntCase {
  const char* stored;  // nullptr: unset
  int32_t expected;
};

TEST(PropertyReaders, IntegerTable) {
  DeviceRoot root;
  const IntCase cases[] = {
      {"42", 42}, {"abc", -7}, {nullptr, -7}, {"", -7}, {" 7a", 7}, {"12abc", 12}, {"-15", -15},
      {"+5", 5}, {"\t\n 8", 8}, {"-", -7}, {"+-3", -7}, {"- 3", -7},
      // Out of range is unparsable: the default, never a wrapped value.
      {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN}, {"2147483648", -7}, {"-2147483649", -7},
      {"4294967347", -7}, {"4294967295", -7}, {"99999999999999999999", -7}, {"000000000000000000000042", 42},
  };
  for (const auto& c : cases) {
    root.remove("/dev/__properties__/t.int");
    if (c.stored != nullptr) root.set_property("t.int", c.stored);
    EXPECT_EQ(propertyGetInt("t.int", -7), c.expected) << (c.stored ? c.stored : "unset");
  }
  EXPECT_EQ(propertyGetInt(nullptr, 5), 5);
}

TEST(PropertyValues, SixtyFourBitNullsAndIntegers) {
  DeviceRoot root;
  root.set_property("t.ll", "1765000123456");
  EXPECT_EQ(propertyGetLongLong("t.ll", 0), 1765000123456LL);
  EXPECT_EQ(propertySetLongLong("t.ll", -1), 0);
  EXPECT_EQ(root.property("t.ll"), "-1");
  EXPECT_EQ(propertySetLongLong(nullptr, 3), -1);
  EXPECT_EQ(propertySetString("t.w", nullptr), 0);  // an empty value, stored
  EXPECT_EQ(root.property("t.w"), "");
  EXPECT_TRUE(root.exists("/dev/__properties__/t.w"));
  EXPECT_EQ(propertySetString(nullptr, "x"), -1);
  EXPECT_EQ(propertySetInt("t.w", -2147483647 - 1), 0);
  EXPECT_EQ(root.property("t.w"), "-2147483648");
  EXPECT_EQ(propertyGetLongLong("t.none", 99), 99);
  const std::pair<const char*, int64_t> cases[] = {
      {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", 99},        {"-9223372036854775809", 99},
      {"18446744073709551615", 99},       {"99999999999999999999", 99},
  };
  for (const auto& [stored, expected] : cases) {
    root.set_property("t.ll", stored);
    EXPECT_EQ(propertyGetLongLong("t.ll", 99), expected) << stored;
  }
}

TEST(PropertyReaders, BooleanTable) {
  DeviceRoot root;
  struct Case {
    const char* stored;
    int expected_default0;
    int expected_default1;
  };
  const Case cases[] = {
      {"1", 1, 1},     {"y", 1, 1},    {"yes", 1, 1}, {"true", 1, 1}, {"on", 1, 1},
      {"0", 0, 0},     {"n", 0, 0},    {"no", 0, 0},  {"false", 0, 0}, {"off", 0, 0},
      {"Y", 0, 1},     {"2", 0, 1},    {"TRUE", 0, 1}, {"On", 0, 1},  {"maybe", 0, 1},
      {"", 0, 1},
  };
  for (const auto& c : cases) {
    root.set_property("t.bool", c.stored);
    EXPECT_EQ(propertyGetBool("t.bool", 0), c.expected_default0) << c.stored;
    EXPECT_EQ(propertyGetBool("t.bool", 1), c.expected_default1) << c.stored;
  }
}

TEST(PropertyReaders, TextReaders) {
  DeviceRoot root;
  char buffer[kPropertyValueMax];
  EXPECT_EQ(propertyGetString("t.text", buffer), nullptr);
  EXPECT_STREQ(buffer, "");
  EXPECT_TRUE(root.log_contains("Propertie \"t.text\" = NULL"));
  // With a buffer the default is not used.
  EXPECT_EQ(propertyGetText("t.text", "dflt", buffer), nullptr);

  char* copy = propertyGetStringCopy("t.text", "zh");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "zh");
  EXPECT_TRUE(root.log_contains("Malloc 93 for t.text propertie."));
  free(copy);
  EXPECT_EQ(propertyGetStringCopy("t.text", nullptr), nullptr);

  root.set_property("t.text", std::string(91, 'q'));
  EXPECT_EQ(propertyGetString("t.text", buffer), buffer);
  EXPECT_EQ(std::string(buffer), std::string(91, 'q'));
  char small[64];
  memset(small, 'X', sizeof(small));
  EXPECT_EQ(propertyGetStringBounded("t.text", small, sizeof(small)), small);
  EXPECT_EQ(std::string(small), std::string(63, 'q'));

  EXPECT_EQ(propertyGetString(nullptr, buffer), nullptr);
  EXPECT_EQ(propertyGetString("t.text", nullptr), nullptr);
  EXPECT_TRUE(root.log_contains("Propertie \"t.text\" = \"NULL\""));
}

// 0 characters for an empty file, -1 for no file. (The newline cut, the bound
// and the log line are pinned through the readers that use it: the startup
// source, the battery's supply types, technology text and numbers.)
TEST(SysfsFiles, ReadCountsWhatItKept) {
  DeviceRoot root;
  root.write("/sys/a", "");
  char buffer[4] = "XXX";
  EXPECT_EQ(readSysfsFile("/sys/a", buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(readSysfsFile(nullptr, buffer, sizeof(buffer)), -1);
  EXPECT_EQ(readSysfsFile("/sys/missing", buffer, sizeof(buffer)), -1);
}

// (A write that replaces the whole value and logs its completion: CpuPolicy in
// power_test.cpp.) A missing file is never created; bytes the kernel cannot
// read make write() fail (EFAULT) after a good open, and that is reported.
TEST(SysfsFiles, WriteNeverCreatesAndReportsAFailedWrite) {
  DeviceRoot root;
  EXPECT_EQ(writeSysfsFile(nullptr, "x", 1), -1);
  EXPECT_EQ(writeSysfsFile("/sys/none", "x", 1), -1);
  EXPECT_FALSE(root.exists("/sys/none"));
  EXPECT_TRUE(root.log_contains("Could not open '/sys/none'"));
  root.write("/sys/gov", "performance");
  long page = sysconf(_SC_PAGESIZE);
  void* unreadable = mmap(nullptr, static_cast<size_t>(page), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(unreadable, MAP_FAILED);
  EXPECT_EQ(writeSysfsFile("/sys/gov", unreadable, 8), -1);
  munmap(unreadable, static_cast<size_t>(page));
  EXPECT_TRUE(root.log_contains("Could not write '/sys/gov'"));
  EXPECT_FALSE(root.log_contains("write /sys/gov completed"));
}

}  // namespace
