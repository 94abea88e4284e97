// The virtual phone driver's pure parts: what it reads from the console, the
// agent's line escaping, the board the device lines ask for, the DRM
// variant's dark output (the steps only the virtual phone knows are parsed in
// scenario_test.cpp). The machine itself is played by tools/vm-test.sh.
#include "sim/vm_phone.h"

#include <gtest/gtest.h>
#include <linux/input.h>

#include <algorithm>


namespace {

// Kernel lines end in CR LF; the last line may still be being written.
const char kConsole[] =
    "[    0.000000] Booting Linux on physical CPU 0x0\r\n"
    "lumo-init: starting /bin/lumoboot\r\n"
    "[    3.418234] lumo: Entry boot charged\r\n"
    "[    3.500000] lumo_pm: startup_mode <- 'charge_pwrkey'\r\n"
    "[    3.600000] lumo:  LumoBoot -> STARTUP_PWRKEY.\r\n"
    "[    3.700000] notlumo: other\r\n"
    "lumo-init: program exited with status 0\r\n"
    "lumo-init: program exited with status 3\r\n"
    "[    4.000000] reboot: Restarting system with command 'reboot_off'\r\n"
    "[    5.000000] reboot: Restarting system\r\n"
    "[    6.000000] reboot: Power down\r\n"
    "[    7.000000] lumo: half a line";

TEST(VmConsole, ProgramLinesExitsAndRebootRecord) {
  EXPECT_EQ(sim::console_log_lines(kConsole),
            (std::vector<std::string>{"I/lumo(0): Entry boot charged", "I/lumo(0):  LumoBoot -> STARTUP_PWRKEY."}));
  // The texts the runner compares are the program's own, leading blanks kept.
  EXPECT_EQ(sim::log_text(sim::console_log_lines(kConsole)[1]), " LumoBoot -> STARTUP_PWRKEY.");
  EXPECT_EQ(sim::console_exit_statuses(kConsole), (std::vector<int>{0, 3}));
  EXPECT_EQ(sim::console_reboot_lines(kConsole),
            (std::vector<std::string>{"restart reboot_off", "restart", "power_off"}));
  EXPECT_TRUE(sim::console_log_lines("").empty());
}

TEST(VmAgent, EscapingRoundTripsEveryByte) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  for (bool last : {false, true}) {
    std::string escaped = sim::agent_escape(all, last);
    EXPECT_EQ(escaped.find('\n'), std::string::npos);
    // A non-last word carries no blank: blanks separate the words.
    EXPECT_EQ(escaped.find(' ') == std::string::npos, !last);
    EXPECT_EQ(sim::agent_unescape(escaped), all);
  }
  EXPECT_EQ(sim::agent_escape("a b\\c\td", true), "a b\\\\c\\td");
  EXPECT_EQ(sim::agent_unescape("1\\x0a2\\n3\\x4"), "1\n2\n3x4");  // a cut \x stays text
}

TEST(VmBoard, DeviceLinesBecomeModuleParameters) {
  sim::VmBoard board;
  std::string error;
  ASSERT_TRUE(sim::vm_board({"--bpp", "32", "--single-page", "--no-lights", "--voltage", "2950", "--level", "7",
                             "--chargers", "none", "--startup", "STARTMODE_PWRKEY", "--prop", "a.b=c"},
                            &board, &error))
      << error;
  for (const char* word : {"lumo_fb.bpp=32", "lumo_fb.pages=1", "lumo_lights.leds=0", "lumo_lights.vibrator=0",
                           "lumo_power.battery_voltage_now=2950000", "lumo_power.battery_capacity=7",
                           "lumo_power.ac_online=0", "lumo_power.usb_online=0",
                           "lumo_power.battery_status=Discharging", "lumo_pm.startup_mode=STARTMODE_PWRKEY"}) {
    EXPECT_NE(std::find(board.append.begin(), board.append.end(), word), board.append.end()) << word;
  }
  EXPECT_EQ(board.properties, (std::vector<std::pair<std::string, std::string>>{{"a.b", "c"}}));
  EXPECT_EQ(board.display, "fbdev");
}

TEST(VmBoard, RefusesWhatTheBoardCannotBe) {
  const std::vector<std::string> cases[] = {
      {"--width", "320"},          // the board's screen is fixed
      {"--no-input"},              // so are its devices
      {"--single-page", "--display", "drm"},  // a framebuffer option on the DRM display
      {"--startup", "two words"},  // the kernel command line cannot carry a blank
  };
  for (const auto& args : cases) {
    sim::VmBoard board;
    std::string error;
    EXPECT_FALSE(sim::vm_board(args, &board, &error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

// QEMU's stand-in for an output that is off (one line of text in one colour
// across the middle) reads as a dark screen; a picture never does.
TEST(VmScreen, InactiveOutputToldFromPictures) {
  auto screen = [](int y0, int y1, bool second_colour) {
    sim::Image s(8, 40, 0xff000000u);
    for (int y = y0; y <= y1; ++y) s.set(1 + y % 6, y, 0xffaaaaaau);
    if (second_colour) s.set(3, y0, 0xff102030u);
    return s;
  };
  EXPECT_TRUE(sim::inactive_output(screen(17, 23, false)));
  EXPECT_FALSE(sim::inactive_output(sim::Image(8, 40, 0xff000000u)));  // black is no stand-in
  EXPECT_FALSE(sim::inactive_output(screen(17, 23, true)));
  EXPECT_FALSE(sim::inactive_output(screen(0, 3, false)));   // off the middle
  EXPECT_FALSE(sim::inactive_output(screen(5, 35, false)));  // taller than a line of text
}

TEST(VmKeys, CodesTheVirtualKeyboardHas) {
  EXPECT_EQ(sim::vm_qcode(KEY_POWER), "power");
  EXPECT_EQ(sim::vm_qcode(KEY_END), "end");  // 107
  EXPECT_EQ(sim::vm_qcode(KEY_VOLUMEDOWN), "volumedown");
  EXPECT_EQ(sim::vm_qcode(KEY_CAMERA), "");
}

}  // namespace
