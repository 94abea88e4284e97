#include "sim/scenario.h"

#include <gtest/gtest.h>

namespace {

TEST(ScenarioParser, ErrorsNameFileAndLine) {
  const std::pair<const char*, const char*> cases[] = {  // text, start of the message
      {"start\n\n# note\nfly away\n", "t.scn:4: unknown step 'fly'"},
      {"wait 100\nbattery level=lots\n", "t.scn:2: battery field level needs a whole number"},
      {"expect log \"unclosed\n", "t.scn:1: the quoted text is not closed"},
      {"wait 1\ndevice --level 5\n", "t.scn:2: device lines must come before every other step"},
      {"device --bpp 24\n", "t.scn:1: --bpp must be 16 or 32"},
      {"device --width 0\n", "t.scn:1: "},
      {"expect log \"x\" within forever\n", "t.scn:1: bad duration 'forever'"},
      {"write /sys/../../etc/passwd \"x\"\n", "t.scn:1: bad device path"},
      {"remove relative/path\n", "t.scn:1: bad device path"},
      {"screenshot ../up\n", "t.scn:1: usage: screenshot NAME"},
      // Numbers that would overflow the duration multiply or now + offset.
      {"wait 1\nwait 9223372036854776s\n", "t.scn:2: usage: wait MS"},
      {"set property a {now+9223372036854775807}\n", "t.scn:1: time offset '{now+9223372036854775807}' is out"},
      {"write /x \"{now-9223372036854775807}\"\n", "t.scn:1: time offset"},
      // Unknown names list the valid ones.
      {"key press pwr\n", "t.scn:1: bad key code 'pwr' (a number from 0 to 65535 or 0x hex, or power, end,"},
      {"flash\n", "t.scn:1: unknown step 'flash' (steps: device, start, battery, plug, unplug, key,"},
      {"device --startup STARTMODE_PWRKY\n", "t.scn:1: --startup takes STARTMODE_CHGINS,"},
      {"expect alarm in\n", "t.scn:1: usage: expect alarm off|in MS"}, {"expect alarm in 5s near 1s\n", "t.scn:1: usage:"},
      {"expect alarm in never\n", "t.scn:1: bad duration in expect alarm"}, {"device --display vga\n", "t.scn:1: --display"},
  };
  for (const auto& [text, message] : cases) {
    sim::Scenario s;
    std::string error;
    EXPECT_FALSE(sim::parse_scenario(text, "t.scn", &s, &error)) << text;
    EXPECT_EQ(error.rfind(message, 0), 0u) << "got: " << error << "\nfor: " << text;
  }
}

TEST(ScenarioParser, StepsKeepTheirTextsLinesAndTimes) {
  sim::Scenario s;
  std::string error;
  ASSERT_TRUE(sim::parse_scenario("device --chargers none --single-page --bpp 32\n\nset property a b\nstart\n"
                                  "expect log \" Battery is no charge, power shutdown.\" within 2s\n"
                                  "expect log contains \"set up alarm\"   # trailing note\n"
                                  "expect log \"within\" within 5\n"
                                  "battery level=7 status=\"Not charging\"\n"
                                  "expect alarm in 600s by 30s within 2s\nexpect alarm off\n"
                                  "expect screen moving within 4000\n",
                                  "t.scn", &s, &error)) << error;
  ASSERT_TRUE(s.has_start);
  EXPECT_EQ(s.device_args, (std::vector<std::string>{"--chargers", "none", "--single-page", "--bpp", "32"}));
  ASSERT_EQ(s.steps.size(), 9u);
  const sim::Step &shutdown = s.steps[2], &alarm = s.steps[3], &within = s.steps[4], &battery = s.steps[5];
  const sim::Step &alarm_in = s.steps[6], &alarm_off = s.steps[7], &moving = s.steps[8];
  EXPECT_EQ(shutdown.line, 5);
  EXPECT_EQ(shutdown.text, " Battery is no charge, power shutdown.");
  EXPECT_TRUE(shutdown.duration_ms == 2000 && !shutdown.contains);
  EXPECT_TRUE(alarm.text == "set up alarm" && alarm.contains && alarm.duration_ms == sim::kDefaultWithinMs);
  EXPECT_TRUE(within.text == "within" && within.duration_ms == 5);  // a quoted keyword is text
  EXPECT_EQ(battery.battery.status, "Not charging");
  EXPECT_FALSE(battery.battery.ac_online.has_value());  // fields not named stay as they are
  // The steps only the virtual phone plays.
  EXPECT_TRUE(alarm_in.kind == sim::StepKind::kExpectAlarm && alarm_in.name == "in" && alarm_in.number == 600000 &&
              alarm_in.extra == 30000 && alarm_in.duration_ms == 2000);
  EXPECT_TRUE(alarm_off.kind == sim::StepKind::kExpectAlarm && alarm_off.name == "off");
  EXPECT_EQ(moving.name, "moving");

  std::string out;
  ASSERT_TRUE(sim::expand_time("t={now-60000};{now+4000}", 100000, &out, &error)) << error;
  EXPECT_EQ(out, "t=40000;104000");
  EXPECT_FALSE(sim::expand_time("{now", 0, &out, &error));
  for (auto [text, want] : {std::pair{"250", 250}, {"250ms", 250}, {"3s", 3000}, {"-5", -1}, {"2h", -1}}) {
    int ms = -1;
    EXPECT_EQ(sim::parse_duration(text, &ms) ? ms : -1, want) << text;
  }
  for (auto [text, want] : {std::pair{"end", 107}, {"0x200", 0x200}, {"114", 114}, {"11x", -1}}) {
    int64_t code = -1;
    EXPECT_EQ(sim::parse_key_code(text, &code) ? code : -1, want) << text;
  }
}

}  // namespace
