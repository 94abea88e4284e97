// The Linux backend's pure pieces, fed with what the kernel would hand over:
// netlink messages, screen information, alarm times, light requests and log
// entries. Nothing here touches the machine.
#include <gtest/gtest.h>
#include <linux/netlink.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "platform/linux/alarm_time.h"
#include "platform/linux/kmsg_line.h"
#include "platform/linux/light_values.h"
#include "platform/linux/screen_info.h"
#include "platform/linux/uevent_message.h"
#include "platform/log.h"
#include "platform/owned.h"

namespace {

using namespace platform::kernel;

// A received message as recvmsg would leave it: the sender's address and,
// when `uid` is not negative, SCM_CREDENTIALS with that uid.
struct Received {
  sockaddr_nl sender = {};
  alignas(cmsghdr) char control[kUeventControlSize] = {};
  msghdr message = {};

  Received(int family, unsigned port, long uid, int control_type = SCM_CREDENTIALS, int flags = 0,
           socklen_t name_length = sizeof(sockaddr_nl)) {
    sender.nl_family = static_cast<sa_family_t>(family);
    sender.nl_pid = port;
    message.msg_name = &sender;
    message.msg_namelen = name_length;
    message.msg_flags = flags;
    if (uid < 0) return;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = control_type;
    c->cmsg_len = CMSG_LEN(sizeof(ucred));
    ucred cred = {0, static_cast<uid_t>(uid), 0};
    memcpy(CMSG_DATA(c), &cred, sizeof(cred));
  }
};

TEST(LinuxUevent, OnlyTheKernelsMessagesPass) {
  const std::string charger("change@/devices/platform/charger/power_supply/usb\0ACTION=change\0", 64);
  const struct { const char* name; Received received; std::string data; UeventVerdict verdict; } cases[] = {
      {"kernel", {AF_NETLINK, 0, 0}, charger, UeventVerdict::kAccept},
      {"header only, no NUL", {AF_NETLINK, 0, 0}, "add@/devices/x", UeventVerdict::kAccept},
      {"another process's port", {AF_NETLINK, 4242, 0}, charger, UeventVerdict::kNotFromKernel},
      {"port 0 but not root", {AF_NETLINK, 0, 1000}, charger, UeventVerdict::kNotFromKernel},
      {"no credentials", {AF_NETLINK, 0, -1}, charger, UeventVerdict::kNotFromKernel},
      {"other control message", {AF_NETLINK, 0, 0, SCM_RIGHTS}, charger, UeventVerdict::kNotFromKernel},
      {"not a netlink sender", {AF_UNIX, 0, 0}, charger, UeventVerdict::kNotFromKernel},
      {"udev's broadcast", {AF_NETLINK, 0, 0}, std::string("libudev\0\xfe\xed", 10), UeventVerdict::kMalformed},
      {"empty", {AF_NETLINK, 0, 0}, "", UeventVerdict::kMalformed},
      {"no action", {AF_NETLINK, 0, 0}, "@/devices/x", UeventVerdict::kMalformed},
      {"no path", {AF_NETLINK, 0, 0}, std::string("change@\0ACTION=change", 21), UeventVerdict::kMalformed},
      {"path not absolute", {AF_NETLINK, 0, 0}, "change@devices", UeventVerdict::kMalformed},
      {"@ after the first text", {AF_NETLINK, 0, 0}, std::string("change\0a@/b", 11), UeventVerdict::kMalformed},
      {"cut control", {AF_NETLINK, 0, 0, SCM_CREDENTIALS, MSG_CTRUNC}, "add@/x", UeventVerdict::kNotFromKernel},
      {"short address", {AF_NETLINK, 0, 0, SCM_CREDENTIALS, 0, sizeof(sa_family_t)}, "add@/x",
       UeventVerdict::kNotFromKernel},
      {"cut by the receive buffer: still the kernel's", {AF_NETLINK, 0, 0, SCM_CREDENTIALS, MSG_TRUNC}, "add@/x",
       UeventVerdict::kAccept},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(check_uevent(c.received.message, c.data.data(), c.data.size()), c.verdict) << c.name;
  }
}

// The backend's own recvmsg on real netlink sockets of this test: a message
// that another socket sends straight to ours arrives with that socket's port
// id (and root's credentials, as tests run as root in CI) and is dropped.
// Neither socket joins a group, so nothing of the machine's uevents arrives.
TEST(LinuxUevent, AnotherSocketsMessageIsDroppedOnTheRealPath) {
  platform::UniqueFd receiver(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
  platform::UniqueFd faker(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
  if (!receiver || !faker) GTEST_SKIP() << "no netlink uevent sockets here (errno " << errno << ")";
  sockaddr_nl own = {};
  own.nl_family = AF_NETLINK;
  int on = 1;
  ASSERT_EQ(setsockopt(receiver.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)), 0);
  ASSERT_EQ(bind(receiver.get(), reinterpret_cast<sockaddr*>(&own), sizeof(own)), 0);
  socklen_t own_len = sizeof(own);
  ASSERT_EQ(getsockname(receiver.get(), reinterpret_cast<sockaddr*>(&own), &own_len), 0);
  ASSERT_NE(own.nl_pid, 0u);

  const char text[] = "change@/devices/platform/charger/power_supply/usb\0ACTION=change\0ONLINE=1";
  const std::string fake(text, sizeof(text) - 1);
  ASSERT_EQ(sendto(faker.get(), fake.data(), fake.size(), 0, reinterpret_cast<sockaddr*>(&own), sizeof(own)),
            static_cast<ssize_t>(fake.size()));
  char buffer[32];
  UeventVerdict verdict = UeventVerdict::kAccept;
  // Cut to the buffer, and still judged by its sender.
  EXPECT_EQ(receive_uevent(receiver.get(), buffer, sizeof(buffer), &verdict), static_cast<long>(sizeof(buffer)));
  EXPECT_EQ(verdict, UeventVerdict::kNotFromKernel);
  EXPECT_EQ(std::string(buffer, 7), "change@");
}

// 16-bit screens in R, G, B 565; 32-bit ones in X, R, G, B, the usual layout.
fb_var_screeninfo var_of(unsigned xres, unsigned yres, unsigned yres_virtual, unsigned bpp) {
  fb_var_screeninfo var = {};
  var.xres = var.xres_virtual = xres, var.yres = yres, var.yres_virtual = yres_virtual, var.bits_per_pixel = bpp;
  const bool rgb565 = bpp == 16;
  var.red = {rgb565 ? 11u : 16u, rgb565 ? 5u : 8u, 0}, var.green = {rgb565 ? 5u : 8u, rgb565 ? 6u : 8u, 0};
  var.blue = {0, rgb565 ? 5u : 8u, 0};
  return var;
}

fb_fix_screeninfo fix_of(unsigned line_length, unsigned smem_len, unsigned ypanstep, unsigned ywrapstep = 0) {
  fb_fix_screeninfo fix = {};
  fix.line_length = line_length, fix.smem_len = smem_len;
  fix.ypanstep = static_cast<uint16_t>(ypanstep), fix.ywrapstep = static_cast<uint16_t>(ywrapstep);
  return fix;
}

TEST(LinuxScreenInfo, PagesLinesAndChannels) {
  const unsigned page16 = 480 * 2 * 800;
  const fb_var_screeninfo v16 = var_of(480, 800, 1600, 16);
  // Width, height, bpp, line, pages, red, green, blue of a 480 x 800 16-bit screen.
  auto rgb565 = [](unsigned line, unsigned pages) {
    return std::vector<unsigned>{480, 800, 16, line, pages, 11, 5, 0};
  };
  const struct { const char* name; fb_var_screeninfo var; fb_fix_screeninfo fix; std::vector<unsigned> expected; }
      cases[] = {
      {"two 16-bit pages", v16, fix_of(960, 2 * page16, 1), rgb565(960, 2)},
      {"XRGB", var_of(480, 800, 1600, 32), fix_of(1920, 4 * page16, 1), {480, 800, 32, 1920, 2, 16, 8, 0}},
      {"memory for one page", v16, fix_of(960, 2 * page16 - 1, 1), rgb565(960, 1)},
      {"virtual height of one page", var_of(480, 800, 800, 16), fix_of(960, 2 * page16, 1), rgb565(960, 1)},
      {"cannot pan", v16, fix_of(960, 2 * page16, 0), rgb565(960, 1)},
      {"pan step not dividing yres", v16, fix_of(960, 2 * page16, 3), rgb565(960, 1)},
      {"wraps instead", v16, fix_of(960, 2 * page16, 0, 1), rgb565(960, 2)},
      {"padded rows", v16, fix_of(1024, 2 * 1024 * 800, 1), rgb565(1024, 2)},
      {"padding beyond the memory", v16, fix_of(1024, 2 * page16, 1), rgb565(1024, 1)},
      {"no line length", v16, fix_of(0, 2 * page16, 1), rgb565(960, 2)},
      {"less than a page", v16, fix_of(960, page16 - 2, 1), rgb565(960, 0)},
      {"three pages offered, three used", var_of(480, 800, 2400, 16), fix_of(960, 3 * page16, 1), rgb565(960, 3)},
  };
  for (const auto& c : cases) {
    platform::DisplayInfo info;
    ASSERT_TRUE(display_info_from_fb(c.var, c.fix, &info)) << c.name;
    EXPECT_EQ((std::vector<unsigned>{info.width, info.height, info.bits_per_pixel, info.line_length, info.pages,
                                     info.red_offset, info.green_offset, info.blue_offset}),
              c.expected)
        << c.name;
    EXPECT_EQ(info.memory_size, c.fix.smem_len) << c.name;
  }
}

TEST(LinuxScreenInfo, UnusableReportsAreRefused) {
  const struct { const char* name; fb_var_screeninfo var; fb_fix_screeninfo fix; } cases[] = {
      {"no width", var_of(0, 800, 1600, 16), fix_of(960, 1 << 24, 1)},
      {"no height", var_of(480, 0, 0, 16), fix_of(960, 1 << 24, 1)},
      {"no depth", var_of(480, 800, 1600, 0), fix_of(960, 1 << 24, 1)},
      {"12 bits", var_of(480, 800, 1600, 12), fix_of(720, 1 << 24, 1)},
      {"line shorter than a row", var_of(480, 800, 1600, 32), fix_of(960, 1 << 24, 1)},
      {"huge line", var_of(UINT32_MAX, 800, 1600, 32), fix_of(0, 1 << 24, 1)},
  };
  for (const auto& c : cases) {
    platform::DisplayInfo info;
    info.width = 7;
    EXPECT_FALSE(display_info_from_fb(c.var, c.fix, &info)) << c.name;
    EXPECT_EQ(info.width, 0u) << c.name;
  }
}

TEST(LinuxScreenInfo, PageOffsets) {
  platform::DisplayInfo info;
  ASSERT_TRUE(display_info_from_fb(var_of(480, 800, 1600, 16), fix_of(960, 2 * 960 * 800, 1), &info));
  unsigned offset = 99;
  EXPECT_TRUE(page_yoffset(info, 0, &offset) && offset == 0u);
  EXPECT_TRUE(page_yoffset(info, 1, &offset) && offset == 800u);
  EXPECT_FALSE(page_yoffset(info, 2, &offset));
  info.pages = 1;
  EXPECT_FALSE(page_yoffset(info, 1, &offset));
  info.height = 1u << 31, info.pages = 4;  // pages far apart must not wrap the offset
  EXPECT_FALSE(page_yoffset(info, 2, &offset));
}

TEST(LinuxAlarmTime, ChecksKeepTheRefusalOfTimesTheAbiCannotHold) {
  const int64_t past2038 = int64_t{INT32_MAX} + 1;
  const struct { int64_t seconds; int32_t nanoseconds; unsigned bytes; bool non_negative; int error; } cases[] = {
      {0, 0, 4, true, 0},
      {INT32_MAX, 999999999, 4, true, 0},
      {past2038, 0, 4, false, EOVERFLOW},
      {INT32_MIN - int64_t{1}, 0, 4, false, EOVERFLOW},
      {past2038, 0, 8, true, 0},
      {-1, 0, 4, false, 0},
      {-1, 0, 8, true, EOVERFLOW},
      {int64_t{9300000000}, 0, 8, false, EOVERFLOW},  // past 64-bit nanoseconds
      {0, -1, 8, false, EINVAL},
      {0, 1000000000, 8, false, EINVAL},
      {past2038, 1000000000, 4, false, EINVAL},  // a bad value before a far one
  };
  for (const auto& c : cases) {
    EXPECT_EQ(check_alarm_time(c.seconds, c.nanoseconds, c.bytes, c.non_negative), c.error)
        << c.seconds << "." << c.nanoseconds << " in " << c.bytes << " bytes";
  }
  // The driver's set request carries two longs: 8 bytes on armhf, 16 on a
  // 64-bit build, whatever time_t is.
  const unsigned long size = 2 * sizeof(long);
  EXPECT_EQ(driver_set_request(0), 0x40006102ul | (size << 16));
  EXPECT_EQ(driver_set_request(4), 0x40006142ul | (size << 16));
  EXPECT_EQ(driver_clear_request(4), 0x6140ul);
  EXPECT_EQ(kDriverWaitRequest, 0x6101ul);
  DriverTime t = driver_time(INT32_MAX, 5);
  EXPECT_EQ(t.tv_sec, long{INT32_MAX});
  EXPECT_EQ(t.tv_nsec, 5);
}

// The C library as the reference: the epoch, a leap day, 2^31, 2100, a leap
// year's last second, then a wide spread of times.
TEST(LinuxAlarmTime, RtcTimeMatchesTheCalendar) {
  std::vector<int64_t> times = {0, 951782400, 2147483648, 4102444800, 1709251199};
  std::mt19937_64 random(11);
  while (times.size() < 20000) times.push_back(static_cast<int64_t>(random() % (int64_t{1} << 36)));
  rtc_time t;
  for (int64_t s : times) {
    time_t when = static_cast<time_t>(s);
    tm ref;
    ASSERT_NE(gmtime_r(&when, &ref), nullptr);
    ASSERT_TRUE(rtc_time_of(s, &t));
    ASSERT_EQ((std::vector<int>{t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_wday}),
              (std::vector<int>{ref.tm_year, ref.tm_mon, ref.tm_mday, ref.tm_hour, ref.tm_min, ref.tm_sec, ref.tm_wday}))
        << s;
  }
  EXPECT_FALSE(rtc_time_of(-1, &t));
}

TEST(LinuxAlarmTime, TableFiresDueAlarmsOnceAndFindsTheNext) {
  AlarmTable table;
  int64_t when = 0;
  EXPECT_FALSE(table.earliest(&when));
  table.arm(0, 100);
  table.arm(4, 50);
  table.arm(7, 1);  // no such type: ignored
  ASSERT_TRUE(table.earliest(&when));
  EXPECT_EQ(when, 50);
  table.fire_due(49);
  EXPECT_EQ(table.collect(), 0u);
  table.fire_due(60);
  EXPECT_EQ(table.collect(), 0x10u);
  EXPECT_EQ(table.collect(), 0u);
  ASSERT_TRUE(table.earliest(&when));
  EXPECT_EQ(when, 100);
  table.arm(0, 200);  // moved later before it fired
  table.fire_due(150);
  EXPECT_EQ(table.collect(), 0u);
  table.arm(4, 120);
  table.fire_due(300);
  EXPECT_EQ(table.collect(), 0x11u);
  EXPECT_FALSE(table.earliest(&when));
  // A cleared alarm that already fired is not reported any more.
  table.arm(0, 10);
  table.fire_due(10);
  table.disarm(0);
  EXPECT_EQ(table.collect(), 0u);
}

TEST(LinuxLights, LevelsScaleToTheDevice) {
  const struct { unsigned level, max, expected; } cases[] = {
      {0, 255, 0},   {255, 255, 255}, {128, 255, 128}, {255, 7, 7},       {128, 7, 4},
      {1, 7, 1},     {1, 1, 1},       {255, 0, 0},     {300, 100, 100},   {255, 4095, 4095},
      {128, 100000, 50196}, {0, 1, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(scale_level(c.level, c.max), c.expected) << c.level << " of " << c.max;
  const struct { uint32_t argb; unsigned luminance; } colors[] = {
      {0xffffffff, 255}, {0x00ffffff, 255}, {0xffff0000, 76}, {0xff00ff00, 149},
      {0xff0000ff, 28},  {0xff000000, 0},   {0xff808080, 128}};
  for (const auto& c : colors) EXPECT_EQ(luminance(c.argb), c.luminance) << std::hex << c.argb;
  RgbLevels levels = split_color(0xff40ff01, 255, 1, 100);
  EXPECT_EQ((std::vector<unsigned>{levels.red, levels.green, levels.blue}), (std::vector<unsigned>{64, 1, 1}));
}

TEST(LinuxLights, MulticolorFollowsTheLedsIndex) {
  // Intensities of 0xff102030: red 16, green 32, blue 48.
  const struct { const char* index; bool valid; const char* intensity; } cases[] = {
      {"red green blue\n", true, "16 32 48\n"},
      {"green blue red", true, "32 48 16\n"},
      {"  blue\tgreen red ", true, "48 32 16\n"},
      {"red green", false, nullptr},
      {"red red blue", false, nullptr},
      {"red green blue white", false, nullptr},
      {"red green bluegreen", false, nullptr},
      {"", false, nullptr},
  };
  for (const auto& c : cases) {
    ChannelOrder order;
    ASSERT_EQ(parse_multi_index(c.index, &order), c.valid) << c.index;
    if (!c.valid) continue;
    char text[32];
    ASSERT_GT(format_multi_intensity(0xff102030, order, text, sizeof(text)), 0u);
    EXPECT_STREQ(text, c.intensity) << c.index;
  }
  EXPECT_EQ(multicolor_brightness(0xff000000, 255), 0u);
  EXPECT_EQ(multicolor_brightness(0x00000100, 40), 40u);
}

TEST(LinuxKmsg, LinesCarryTheKernelLevelAndStayOneLine) {
  const std::string too_long(3000, 'x');  // cut to the longest line the kernel takes
  const struct { int priority; std::string text, line; } cases[] = {
      {platform::kLogDebug, "hello", "<7>lumo: hello\n"},
      {platform::kLogInfo, " Battery is no charge", "<6>lumo:  Battery is no charge\n"},
      {platform::kLogWarn, "w\n\n", "<4>lumo: w\n"},
      {platform::kLogError, "two\nlines\r\n", "<3>lumo: two lines\n"},
      {2, "verbose", "<7>lumo: verbose\n"},
      {7, "fatal", "<2>lumo: fatal\n"},
      {platform::kLogInfo, "", "<6>lumo: \n"},
      {platform::kLogError, too_long, "<3>lumo: " + too_long.substr(0, kKmsgLineMax - 11) + "\n"},
  };
  for (const auto& c : cases) {
    char line[kKmsgLineMax];
    size_t len = format_kmsg_line(c.priority, "lumo", c.text.c_str(), line, sizeof(line));
    EXPECT_EQ(std::string(line, len), c.line);
    EXPECT_EQ(strlen(line), len);
  }
  char small[32];
  EXPECT_EQ(format_kmsg_line(platform::kLogError, "lumo", "x", small, sizeof(small)), 0u);
}

}  // namespace
