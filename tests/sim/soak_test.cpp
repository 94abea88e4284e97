#include <sys/stat.h>

#include <gtest/gtest.h>

#include "sim/device.h"
#include "sim/files.h"
#include "sim/phone.h"
#include "sim/soak_model.h"
#include "sim/soak_screen.h"

namespace {

std::vector<std::string> stream_texts(uint64_t seed, int count) {
  sim::SoakStream stream(seed);
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i) {
    sim::SoakEvent e = stream.next();
    texts.push_back(std::to_string(e.gap_ms) + " " + e.describe());
  }
  return texts;
}

TEST(SoakStreamTest, SameSeedSameStreamOtherSeedOtherStream) {
  EXPECT_EQ(stream_texts(42, 3000), stream_texts(42, 3000));
  EXPECT_NE(stream_texts(42, 300), stream_texts(43, 300));
}

// The stream never asks the program to leave charging mode, and every
// battery event changes the record (the program logs a summary for each).
TEST(SoakStreamTest, StreamsStayValid) {
  for (uint64_t seed : {1u, 7u, 1234567u, 0xdeadbeefu}) {
    SCOPED_TRACE(seed);
    sim::SoakStream stream(seed);
    sim::SoakRecord before;
    int64_t away_ms = -1, away_checks = 0, excursions = 0, power_keys = 0, dark_waits = 0;
    for (int i = 0; i < 20000; ++i) {
      sim::SoakEvent e = stream.next();
      bool was_present = sim::charger_present(before), present = sim::charger_present(e.record);
      if (away_ms >= 0) away_ms += e.gap_ms + e.hold_ms;
      if (was_present && !present) {
        ASSERT_TRUE(e.wait_dark) << e.describe();
        ASSERT_TRUE(sim::record_is_calm(before)) << sim::summary_text(before);
        away_ms = 0;
        ++excursions;
      }
      if (present && away_ms >= 0) {
        ASSERT_LE(away_ms, sim::kSoakMaxExcursionMs) << e.describe();
        away_ms = -1;
      }
      if (e.kind == sim::SoakKind::kKey && e.key == 116 && present) {
        ASSERT_LT(e.record.voltage_mv, sim::kSoakPowerOnVoltage);
        ++power_keys;
      }
      if (e.kind == sim::SoakKind::kBattery) {
        ASSERT_NE(sim::summary_text(e.record), sim::summary_text(before)) << e.describe();
      }
      if (e.kind == sim::SoakKind::kCheck) {
        ASSERT_EQ(e.away, !present);
        away_checks += e.away;
      }
      if (e.kind != sim::SoakKind::kBattery && e.kind != sim::SoakKind::kPlug && e.kind != sim::SoakKind::kUnplug) {
        ASSERT_EQ(e.record, before) << e.describe();
      }
      ASSERT_GE(e.record.level, 0);
      ASSERT_LE(e.record.level, 100);
      dark_waits += e.wait_dark;
      before = e.record;
    }
    // Each rule was exercised, not avoided.
    EXPECT_GT(excursions, 50);
    EXPECT_GT(away_checks, 20);
    EXPECT_GT(power_keys, 200);
    EXPECT_EQ(dark_waits, excursions);
  }
}

TEST(SoakModelTest, LedAndPresenceFollowTheProgramsRules) {
  const struct { bool ac, usb; const char* status; bool present; uint32_t led; } cases[] = {
      {true, false, "Full", true, sim::kLedGreen},     {false, true, "Discharging", true, sim::kLedRed},
      {false, false, "Charging", true, sim::kLedRed},  {false, false, "Unknown", true, sim::kLedRed},
      {false, false, "Full", false, 0},                {false, false, "Not charging", false, 0},
      {false, false, "Discharging", false, 0},
  };
  for (const auto& c : cases) {
    sim::SoakRecord r;
    r.ac = c.ac, r.usb = c.usb, r.status = c.status;
    EXPECT_EQ(sim::charger_present(r), c.present) << c.status;
    EXPECT_EQ(sim::expected_led(r), c.led) << c.status;
  }
}

// What the lit screen must show. Frames: ceil(level / 4); Full wins over
// everything; an unknown health replaces the frame; a health problem hides
// the voltage warnings; the unplugged line goes with a missing charger.
TEST(SoakModelTest, ExpectedScreenFollowsThePictureTable) {
  using sim::LineView;
  using sim::MainView;
  struct Case {
    const char* name;
    sim::SoakRecord r;
    std::set<MainView> mains;
    std::set<LineView> lines;
  };
  auto rec = [](bool ac, const char* status, int level, const char* health, int mv, int charger_mv) {
    sim::SoakRecord r;
    r.ac = ac, r.status = status, r.level = level, r.health = health, r.voltage_mv = mv, r.charger_voltage_mv = charger_mv;
    return r;
  };
  std::set<MainView> climbing;
  for (int f = 3; f <= 25; ++f) climbing.insert({f, true});
  const Case cases[] = {
      {"discharging", rec(true, "Discharging", 10, "Good", 3800, 5000), {{3, false}}, {{sim::kWarnNone, false}}},
      {"empty", rec(true, "Not charging", 0, "Good", 3800, 5000), {{0, false}}, {{sim::kWarnNone, false}}},
      {"level 100", rec(true, "Discharging", 100, "Good", 3800, 5000), {{25, false}}, {{sim::kWarnNone, false}}},
      {"charging", rec(true, "Charging", 12, "Good", 3800, 5000), climbing, {{sim::kWarnNone, false}}},
      {"charging at 100", rec(true, "Charging", 100, "Good", 3800, 5000), {{25, true}}, {{sim::kWarnNone, false}}},
      {"full", rec(true, "Full", 40, "Overheat", 3800, 5000), {{sim::kMainFull, false}}, {{sim::kWarnTempHigh, false}}},
      {"unknown", rec(true, "Charging", 40, "Unknown", 4600, 5000), {{sim::kMainUnknown, true}}, {{sim::kWarnUntouch, false}}},
      {"cold", rec(true, "Discharging", 40, "Cold", 4600, 5800), {{10, false}}, {{sim::kWarnTempLow, false}}},
      {"battery high", rec(true, "Discharging", 40, "Good", 4500, 5800), {{10, false}}, {{sim::kWarnBatteryHigh, false}}},
      {"charger high", rec(true, "Discharging", 40, "Good", 4499, 5700), {{10, false}}, {{sim::kWarnVolHigh, false}}},
      {"charger low", rec(true, "Discharging", 40, "Good", 4499, 3500), {{10, false}}, {{sim::kWarnVolLow, false}}},
      {"charger 4301", rec(true, "Discharging", 40, "Good", 4499, 4301), {{10, false}}, {{sim::kWarnNone, false}}},
      {"unplugged", rec(false, "Discharging", 40, "Good", 3800, 0), {{10, false}}, {{sim::kWarnNone, true}}},
      {"unplugged cold", rec(false, "Not charging", 40, "Cold", 3800, 0), {{10, false}}, {{sim::kWarnTempLow, true}}},
  };
  for (const Case& c : cases) {
    sim::ScreenMemory m;
    sim::ScreenExpectation e = sim::expected_screen(c.r, m, 1000000);
    EXPECT_EQ(e.mains, c.mains) << c.name;
    EXPECT_EQ(e.lines, c.lines) << c.name;
  }
}

// The animation keeps the last recognised health through an unrecognised
// one, may keep a latched Full, and may be above a level that just dropped.
TEST(SoakModelTest, ScreenMemoryWidensOnlyWhatTheProgramMayStillShow) {
  sim::SoakRecord good;
  good.status = "Discharging";
  sim::SoakRecord hot = good, dead = good, full = good, low = good;
  hot.health = "Overheat";
  dead.health = "Dead";
  full.status = "Full";
  low.level = 20;
  low.status = "Charging";

  sim::ScreenMemory m;
  sim::remember_record(&m, good, hot, 0);
  sim::remember_record(&m, hot, dead, 0);
  std::set<sim::LineView> both = {{sim::kWarnNone, false}, {sim::kWarnTempHigh, false}};
  EXPECT_EQ(sim::expected_screen(dead, m, 0).lines, both);  // hot may never have been drawn
  sim::remember_drawn(&m, hot);
  EXPECT_EQ(sim::expected_screen(dead, m, 0).lines, std::set<sim::LineView>({{sim::kWarnTempHigh, false}}));

  sim::remember_record(&m, good, full, 0);
  EXPECT_EQ(sim::expected_screen(good, m, 0).mains, std::set<sim::MainView>({{13, false}, {25, false}}));
  sim::SoakRecord away = good;
  away.ac = false;
  sim::remember_drawn(&m, away);  // drawn without a charger: the latch is gone
  EXPECT_EQ(sim::expected_screen(good, m, 0).mains, std::set<sim::MainView>({{13, false}}));

  sim::remember_record(&m, good, low, 5000);
  EXPECT_EQ(sim::expected_screen(low, m, 6000).mains.size(), 26u);  // still climbing from 50 %
  EXPECT_EQ(sim::expected_screen(low, m, 60000).mains.size(), 21u);  // frames 5..25
}

// The figures the growth check reads are the running program's own, and
// there are none once it has ended.
TEST(SoakModelTest, ProcessFiguresAreTheRunningProgramsOwn) {
  sim::TempDir tmp;
  std::string error;
  ASSERT_TRUE(sim::create_device(tmp.path("phone"), sim::DeviceOptions{.res_dir = tmp.path("no-res")}, &error)) << error;
  // The same sleeping program, once with three more descriptors open.
  auto figures = [&](const char* redirections, sim::ProcessFigures* f) {
    ASSERT_TRUE(sim::write_file(tmp.path("fake"), std::string("#!/bin/sh\nexec sleep 30") + redirections + "\n"));
    chmod(tmp.path("fake").c_str(), 0755);
    sim::HostPhone phone(tmp.path("phone"), tmp.path("fake"), tmp.path("out"));
    ASSERT_TRUE(phone.start("", &error)) << error;
    // Time for the shell to become sleep.
    sim::sleep_ms(300);
    ASSERT_TRUE(phone.process_figures(f));
    phone.stop();
    EXPECT_FALSE(phone.process_figures(f));
  };
  sim::ProcessFigures plain, more;
  figures("", &plain);
  figures(" 7</dev/null 8</dev/null 9</dev/null", &more);
  EXPECT_EQ(more.fds, plain.fds + 3);
  EXPECT_EQ(plain.threads, 1);
  EXPECT_GT(plain.anon_kb, 0);
  EXPECT_LE(plain.anon_kb, plain.rss_kb);
}

class SoakScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(screen_.load(sim::default_res_dir(), "zh_cn", 480, 800, &error)) << error;
  }
  sim::SoakScreen screen_;
};

// Every view the charging screen can show is told apart from every other,
// neighbouring frames included; the 565 rounding of a real page is absorbed.
TEST_F(SoakScreenTest, RecognisesEveryView) {
  std::vector<sim::MainView> mains = {{sim::kMainFull, false}, {sim::kMainUnknown, true}, {sim::kMainNone, false}};
  for (int f = 0; f <= 25; ++f) mains.push_back({f, f % 2 == 0});
  std::vector<sim::LineView> lines;
  for (int w = sim::kWarnNone; w < sim::kWarnCount; ++w) lines.push_back({w, w % 2 != 0});
  lines.push_back({sim::kWarnVolLow, false});
  lines.push_back({sim::kWarnNone, true});
  for (size_t i = 0; i < std::max(mains.size(), lines.size()); ++i) {
    sim::MainView main = mains[i % mains.size()];
    sim::LineView line = lines[i % lines.size()];
    sim::Image page = screen_.render(main, line);
    for (uint32_t& p : page.pixels) p ^= (p >> 7) & 0x010101u;  // a last-bit difference, as rounding leaves
    sim::MainView seen_main;
    sim::LineView seen_line;
    std::string detail;
    EXPECT_TRUE(screen_.recognise(page, &seen_main, &seen_line, &detail)) << detail;
    EXPECT_EQ(seen_main, main) << sim::describe(main) << ": " << detail;
    EXPECT_EQ(seen_line, line) << sim::describe(line) << ": " << detail;
  }
}

// A page that is not the charging screen is refused, not taken for the closest view.
TEST_F(SoakScreenTest, RefusesWhatIsNoChargingScreen) {
  sim::Image shifted = screen_.render({12, true}, {sim::kWarnTempHigh, false});
  shifted.pixels.erase(shifted.pixels.begin(), shifted.pixels.begin() + 480 * 6);  // six rows up
  shifted.pixels.resize(480 * 800, 0xff000000u);
  sim::Image grey(480, 800, 0xff808080u);
  sim::Image small(320, 480, 0xff000000u);
  for (const sim::Image* page : {&shifted, &grey, &small}) {
    sim::MainView main;
    sim::LineView line;
    std::string detail;
    EXPECT_FALSE(screen_.recognise(*page, &main, &line, &detail)) << detail;
  }
}

}  // namespace
