#include "sim/scenario.h"

#include <gtest/gtest.h>

#include "tests/sim/temp_dir.h"

namespace {

using sim::Scenario;
using sim::StepKind;

Scenario parse_ok(const std::string& text) {
  Scenario s;
  std::string error;
  EXPECT_TRUE(sim::parse_scenario(text, "t.scn", &s, &error)) << error;
  return s;
}

struct BadCase {
  const char* text;
  const char* error;  // expected start of the message
};

TEST(ScenarioParser, ErrorsNameFileAndLine) {
  const BadCase cases[] = {
      {"start\n\n# note\nfly away\n", "t.scn:4: unknown step 'fly'"},
      {"wait soon\n", "t.scn:1: usage: wait MS"},
      {"wait 100\nbattery level=lots\n", "t.scn:2: battery field level needs a whole number"},
      {"battery colour=blue\n", "t.scn:1: unknown battery field 'colour'"},
      {"expect log \"unclosed\n", "t.scn:1: the quoted text is not closed"},
      {"wait 1\ndevice --level 5\n", "t.scn:2: device lines must come before every other step"},
      {"device --bpp 24\n", "t.scn:1: --bpp must be 16 or 32"},
      {"expect backlight 300\n", "t.scn:1: bad backlight level '300'"},
      {"expect log \"x\" within forever\n", "t.scn:1: bad duration 'forever'"},
      {"key press nokey\n", "t.scn:1: bad key code 'nokey'"},
      {"key down 116 hold 50\n", "t.scn:1: usage: key press CODE [hold MS]"},
      {"write /sys/../../etc/passwd \"x\"\n", "t.scn:1: bad device path"},
      {"remove relative/path\n", "t.scn:1: bad device path"},
      {"expect led purple\n", "t.scn:1: bad LED colour 'purple'"},
      {"expect screen pretty\n", "t.scn:1: expect screen takes logo, drawn or black"},
      {"expect no exit\n", "t.scn:1: 'expect no' takes log or reboot"},
      {"set property k {now+soon}\n", "t.scn:1: bad time '{now+soon}'"},
      {"plug mains\n", "t.scn:1: usage: plug [ac|usb]"},
      {"screenshot ../up\n", "t.scn:1: usage: screenshot NAME"},
  };
  for (const BadCase& c : cases) {
    Scenario s;
    std::string error;
    EXPECT_FALSE(sim::parse_scenario(c.text, "t.scn", &s, &error)) << c.text;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << "got: " << error << "\nfor: " << c.text;
  }
}

TEST(ScenarioParser, StepsKeepTheirTextsAndLines) {
  Scenario s = parse_ok(
      "# a phone\n"
      "device --level 20 --prop ro.lboot.light.timeout=1000\n"
      "device --chargers none\n"
      "\n"
      "expect log \" Battery is no charge, power shutdown.\" within 2s\n"
      "expect log contains \"set up alarm\"   # trailing note\n"
      "expect no log \"Exit\" for 300ms\n"
      "expect reboot restart reboot_off within 900\n"
      "expect file /sys/power/state \"mem\"\n"
      "key press power hold 40\n"
      "battery level=7 status=\"Not charging\" health=Overheat voltage=3700\n"
      "expect led 7f00ff00\n"
      "set property persist.x \"\"\n");
  EXPECT_FALSE(s.has_start);
  EXPECT_EQ(s.device_args, (std::vector<std::string>{"--level", "20", "--prop",
                                                     "ro.lboot.light.timeout=1000", "--chargers",
                                                     "none"}));
  ASSERT_EQ(s.steps.size(), 9u);
  EXPECT_EQ(s.steps[0].kind, StepKind::kExpectLog);
  EXPECT_EQ(s.steps[0].line, 5);
  EXPECT_EQ(s.steps[0].text, " Battery is no charge, power shutdown.");
  EXPECT_EQ(s.steps[0].duration_ms, 2000);
  EXPECT_FALSE(s.steps[0].contains);
  EXPECT_TRUE(s.steps[1].contains);
  EXPECT_EQ(s.steps[1].text, "set up alarm");
  EXPECT_EQ(s.steps[1].duration_ms, sim::kDefaultWithinMs);
  EXPECT_EQ(s.steps[2].kind, StepKind::kExpectNoLog);
  EXPECT_EQ(s.steps[2].duration_ms, 300);
  EXPECT_EQ(s.steps[3].text, "restart reboot_off");
  EXPECT_EQ(s.steps[3].duration_ms, 900);
  EXPECT_EQ(s.steps[4].name, "/sys/power/state");
  EXPECT_EQ(s.steps[4].text, "mem");
  EXPECT_EQ(s.steps[5].number, 116);
  EXPECT_EQ(s.steps[5].extra, 40);
  EXPECT_EQ(s.steps[6].battery.level, 7);
  EXPECT_EQ(s.steps[6].battery.status, "Not charging");
  EXPECT_EQ(s.steps[6].battery.voltage_mv, 3700);
  EXPECT_FALSE(s.steps[6].battery.ac_online.has_value());
  EXPECT_EQ(s.steps[7].number, 0x7f00ff00);
  EXPECT_EQ(s.steps[8].text, "");
}

TEST(ScenarioParser, ExplicitStartAndQuotedKeywords) {
  Scenario s = parse_ok("set property a b\nstart\nexpect log \"contains\"\nexpect log \"within\" within 5\n");
  EXPECT_TRUE(s.has_start);
  EXPECT_EQ(s.steps[2].text, "contains");
  EXPECT_FALSE(s.steps[2].contains);
  EXPECT_EQ(s.steps[3].text, "within");
  EXPECT_EQ(s.steps[3].duration_ms, 5);
}

TEST(ScenarioParser, TimesDurationsAndKeys) {
  std::string out, error;
  ASSERT_TRUE(sim::expand_time("{now+4000}", 1000000, &out, &error));
  EXPECT_EQ(out, "1004000");
  ASSERT_TRUE(sim::expand_time("t={now-60000};{now}", 100000, &out, &error));
  EXPECT_EQ(out, "t=40000;100000");
  EXPECT_FALSE(sim::expand_time("{now", 0, &out, &error));
  EXPECT_FALSE(sim::expand_time("{now*2}", 0, &out, &error));

  int ms = -1;
  EXPECT_TRUE(sim::parse_duration("250", &ms) && ms == 250);
  EXPECT_TRUE(sim::parse_duration("250ms", &ms) && ms == 250);
  EXPECT_TRUE(sim::parse_duration("3s", &ms) && ms == 3000);
  EXPECT_FALSE(sim::parse_duration("-5", &ms));
  EXPECT_FALSE(sim::parse_duration("2h", &ms));

  int64_t code = 0;
  EXPECT_TRUE(sim::parse_key_code("end", &code) && code == 107);
  EXPECT_TRUE(sim::parse_key_code("0x200", &code) && code == 0x200);
  EXPECT_TRUE(sim::parse_key_code("114", &code) && code == 114);
  EXPECT_FALSE(sim::parse_key_code("11x", &code));
}

TEST(ScenarioParser, MissingFileIsNamed) {
  sim_test::TempDir tmp;
  Scenario s;
  std::string error;
  EXPECT_FALSE(sim::load_scenario(tmp.path("absent.scn"), &s, &error));
  EXPECT_NE(error.find(tmp.path("absent.scn")), std::string::npos) << error;
}

}  // namespace
