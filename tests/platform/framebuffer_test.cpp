// Host framebuffer emulation: screen information from dev/graphics/fb0.info.
#include <linux/fb.h>

#include <fcntl.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/kernel.h"
#include "tests/support/device_root.h"

namespace {

class FramebufferTest : public ::testing::Test {
 protected:
  int open_fb() {
    root_.write("/dev/graphics/fb0", "");
    fd_ = platform::dev_open("/dev/graphics/fb0", O_RDWR);
    EXPECT_GE(fd_, 0);
    return fd_;
  }
  void TearDown() override { platform::dev_close(fd_); }

  lumo_test::DeviceRoot root_;
  int fd_ = -1;
};

TEST_F(FramebufferTest, ScreenInfoFollowsTheInfoFile) {
  struct Case {
    unsigned xres, yres, bpp;
  };
  for (Case c : {Case{480, 800, 16}, Case{1080, 1920, 32}, Case{3, 5, 16}, Case{7, 1, 32}}) {
    SCOPED_TRACE(testing::Message() << c.xres << "x" << c.yres << "@" << c.bpp);
    root_.write("/dev/graphics/fb0.info", "xres=" + std::to_string(c.xres) + "\nyres=" + std::to_string(c.yres) +
                                              "\nbits_per_pixel=" + std::to_string(c.bpp) + "\nyoffset=" +
                                              std::to_string(c.yres) + "\n");
    int fd = open_fb();
    fb_var_screeninfo var = {};
    fb_fix_screeninfo fix = {};
    ASSERT_EQ(platform::dev_ioctl(fd, FBIOGET_VSCREENINFO, &var), 0);
    ASSERT_EQ(platform::dev_ioctl(fd, FBIOGET_FSCREENINFO, &fix), 0);
    EXPECT_EQ(var.xres, c.xres);
    EXPECT_EQ(var.yres, c.yres);
    EXPECT_EQ(var.xres_virtual, c.xres);
    EXPECT_EQ(var.yres_virtual, 2 * c.yres);
    EXPECT_EQ(var.yoffset, c.yres);
    EXPECT_EQ(var.bits_per_pixel, c.bpp);
    EXPECT_EQ(var.red.length + var.green.length + var.blue.length, c.bpp == 16 ? 16u : 24u);
    EXPECT_EQ(fix.line_length, c.xres * c.bpp / 8);
    EXPECT_EQ(fix.smem_len, 2 * c.xres * c.yres * c.bpp / 8);
    platform::dev_close(fd);
    fd_ = -1;
  }
}

TEST_F(FramebufferTest, PanRewritesOnlyYoffset) {
  root_.write("/dev/graphics/fb0.info", "xres=4\nyres=3\nvendor=test\nbits_per_pixel=16\nyoffset=0\n");
  int fd = open_fb();
  fb_var_screeninfo var = {};
  ASSERT_EQ(platform::dev_ioctl(fd, FBIOGET_VSCREENINFO, &var), 0);
  var.yoffset = 3;
  ASSERT_EQ(platform::dev_ioctl(fd, FBIOPUT_VSCREENINFO, &var), 0);
  EXPECT_EQ(root_.read("/dev/graphics/fb0.info"), "xres=4\nyres=3\nvendor=test\nbits_per_pixel=16\nyoffset=3\n");
  ASSERT_EQ(platform::dev_ioctl(fd, FBIOGET_VSCREENINFO, &var), 0);
  EXPECT_EQ(var.yoffset, 3u);

  // Past the second page: refused, file unchanged.
  var.yoffset = 4;
  EXPECT_EQ(platform::dev_ioctl(fd, FBIOPUT_VSCREENINFO, &var), -1);
  EXPECT_EQ(root_.read("/dev/graphics/fb0.info"), "xres=4\nyres=3\nvendor=test\nbits_per_pixel=16\nyoffset=3\n");
}

TEST_F(FramebufferTest, PanAddsMissingYoffsetAndLeavesNoTemporaryFile) {
  root_.write("/dev/graphics/fb0.info", "xres=4\nyres=3\nbits_per_pixel=32");
  int fd = open_fb();
  fb_var_screeninfo var = {};
  ASSERT_EQ(platform::dev_ioctl(fd, FBIOGET_VSCREENINFO, &var), 0);
  EXPECT_EQ(var.yoffset, 0u);
  var.yoffset = 1;
  ASSERT_EQ(platform::dev_ioctl(fd, FBIOPUT_VSCREENINFO, &var), 0);
  EXPECT_EQ(root_.read("/dev/graphics/fb0.info"), "xres=4\nyres=3\nbits_per_pixel=32\nyoffset=1\n");
  EXPECT_FALSE(root_.exists("/dev/graphics/fb0.info.tmp" + std::to_string(getpid())));
}

TEST_F(FramebufferTest, BadOrMissingInfoFailsEveryRequest) {
  const char* bad[] = {
      nullptr,                                            // no file
      "yres=3\nbits_per_pixel=16\n",                      // no xres
      "xres=4\nyres=3\n",                                 // no depth
      "xres=4\nyres=3\nbits_per_pixel=24\n",              // unsupported depth
      "xres=0\nyres=3\nbits_per_pixel=16\n",              // empty screen
      "xres=4x\nyres=3\nbits_per_pixel=16\n",             // not a number
      "xres=4\nyres=3\nbits_per_pixel=16\nyoffset=-1\n",  // negative
      "xres=99999999999\nyres=3\nbits_per_pixel=16\n",    // absurd size
  };
  for (const char* info : bad) {
    SCOPED_TRACE(info == nullptr ? "(missing)" : info);
    if (info == nullptr) {
      root_.remove("/dev/graphics/fb0.info");
    } else {
      root_.write("/dev/graphics/fb0.info", info);
    }
    int fd = open_fb();
    fb_var_screeninfo var = {};
    fb_fix_screeninfo fix = {};
    EXPECT_EQ(platform::dev_ioctl(fd, FBIOGET_VSCREENINFO, &var), -1);
    EXPECT_EQ(platform::dev_ioctl(fd, FBIOGET_FSCREENINFO, &fix), -1);
    EXPECT_EQ(platform::dev_ioctl(fd, FBIOPUT_VSCREENINFO, &var), -1);
    platform::dev_close(fd);
    fd_ = -1;
  }
}

}  // namespace
