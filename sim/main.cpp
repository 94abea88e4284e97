// lumo-sim: the simulated phone for lumoboot. Commands:
//   create DIR [options]            build a device root
//   run DIR SCENARIO [options]      play a scenario against lumoboot
//   screenshot DIR OUT.png          picture of the phone as it is now
//   contact OUT.png IN.png...       contact sheet of screenshots
//   measure DIR [options]           figures of one charging session
//   soak DIR [options]              random events for minutes, invariants checked
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/files.h"
#include "sim/image.h"
#include "sim/measure.h"
#include "sim/runner.h"
#include "sim/soak.h"

namespace {

void usage(FILE* out) {
  fprintf(out,
          "usage:\n"
          "  lumo-sim create DIR [options]\n"
          "  lumo-sim run DIR SCENARIO [--out OUTDIR] [--timeout S] [--program PATH] [--fresh] [--quiet]\n"
          "  lumo-sim screenshot DIR OUT.png\n"
          "  lumo-sim contact OUT.png IN.png...\n"
          "  lumo-sim measure DIR [--idle S] [--program PATH] [create options]\n"
          "  lumo-sim soak DIR [--minutes N] [--seed S] [--warmup S] [--out OUTDIR] [--program PATH] [--quiet]\n"
          "create options:\n%s",
          sim::device_options_help());
}

int create(const std::vector<std::string>& args) {
  if (args.empty()) return usage(stderr), 2;
  sim::DeviceOptions options;
  std::string error;
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (!sim::parse_device_options(rest, &options, &error) ||
      !sim::create_device(args[0], options, &error)) {
    fprintf(stderr, "lumo-sim create: %s\n", error.c_str());
    return 2;
  }
  printf("lumo-sim: phone created in %s\n", sim::absolute_path(args[0]).c_str());
  return 0;
}

// Takes "--name VALUE" at `i` into `out`; false when it is not that option.
bool take_value(const std::vector<std::string>& args, size_t* i, const char* name, std::string* out,
                bool* bad) {
  if (args[*i] != name) return false;
  if (*i + 1 >= args.size()) {
    fprintf(stderr, "lumo-sim: %s needs a value\n", name);
    *bad = true;
    return true;
  }
  *out = args[++*i];
  return true;
}

int run(const std::vector<std::string>& args) {
  sim::RunOptions options;
  std::vector<std::string> positional;
  bool bad = false;
  std::string timeout;
  for (size_t i = 0; i < args.size() && !bad; ++i) {
    if (take_value(args, &i, "--out", &options.out_dir, &bad) ||
        take_value(args, &i, "--program", &options.program, &bad) ||
        take_value(args, &i, "--timeout", &timeout, &bad)) {
      continue;
    }
    if (args[i] == "--fresh") {
      options.fresh = true;
    } else if (args[i] == "--quiet") {
      options.quiet = true;
    } else if (args[i].rfind("--", 0) == 0) {
      fprintf(stderr, "lumo-sim run: unknown option %s\n", args[i].c_str());
      bad = true;
    } else {
      positional.push_back(args[i]);
    }
  }
  if (!timeout.empty() && (!sim::parse_int(timeout, &options.timeout_s) || options.timeout_s < 1 ||
                           options.timeout_s > 86400)) {
    fprintf(stderr, "lumo-sim run: --timeout needs seconds from 1 to 86400\n");
    bad = true;
  }
  if (bad || positional.size() != 2) return usage(stderr), 2;
  options.root = positional[0];
  options.scenario = positional[1];
  return sim::run_scenario(options);
}

int screenshot(const std::vector<std::string>& args) {
  if (args.size() != 2) return usage(stderr), 2;
  std::string error;
  if (!sim::take_screenshot(sim::Device(sim::absolute_path(args[0])), args[1], &error)) {
    fprintf(stderr, "lumo-sim screenshot: %s\n", error.c_str());
    return 2;
  }
  return 0;
}

int contact(const std::vector<std::string>& args) {
  if (args.size() < 2) return usage(stderr), 2;
  std::string error;
  std::vector<std::string> inputs(args.begin() + 1, args.end());
  if (!sim::make_contact_sheet(args[0], inputs, &error)) {
    fprintf(stderr, "lumo-sim contact: %s\n", error.c_str());
    return 2;
  }
  return 0;
}

int measure(const std::vector<std::string>& args) {
  if (args.empty()) return usage(stderr), 2;
  sim::MeasureOptions options;
  options.root = args[0];
  bool bad = false;
  std::string idle;
  for (size_t i = 1; i < args.size() && !bad; ++i) {
    if (take_value(args, &i, "--program", &options.program, &bad) ||
        take_value(args, &i, "--idle", &idle, &bad)) {
      continue;
    }
    options.device_args.push_back(args[i]);
  }
  if (!idle.empty() && (!sim::parse_int(idle, &options.idle_s) || options.idle_s < 1 || options.idle_s > 600)) {
    fprintf(stderr, "lumo-sim measure: --idle needs seconds from 1 to 600\n");
    bad = true;
  }
  if (bad) return 2;
  return sim::measure_session(options);
}

int soak(const std::vector<std::string>& args) {
  sim::SoakOptions options;
  std::vector<std::string> positional;
  std::string minutes, seed, warmup;
  bool bad = false;
  for (size_t i = 0; i < args.size() && !bad; ++i) {
    if (take_value(args, &i, "--minutes", &minutes, &bad) || take_value(args, &i, "--seed", &seed, &bad) ||
        take_value(args, &i, "--warmup", &warmup, &bad) || take_value(args, &i, "--out", &options.out_dir, &bad) ||
        take_value(args, &i, "--program", &options.program, &bad)) {
      continue;
    }
    if (args[i] == "--quiet") {
      options.quiet = true;
    } else if (args[i].rfind("--", 0) == 0) {
      fprintf(stderr, "lumo-sim soak: unknown option %s\n", args[i].c_str());
      bad = true;
    } else {
      positional.push_back(args[i]);
    }
  }
  int64_t seed_value = 0;
  if (!minutes.empty() && (!sim::parse_int(minutes, &options.minutes) || options.minutes < 1 || options.minutes > 1440)) {
    fprintf(stderr, "lumo-sim soak: --minutes needs minutes from 1 to 1440\n");
    bad = true;
  }
  if (!warmup.empty() && (!sim::parse_int(warmup, &options.warmup_s) || options.warmup_s < 0 || options.warmup_s > 3600)) {
    fprintf(stderr, "lumo-sim soak: --warmup needs seconds from 0 to 3600\n");
    bad = true;
  }
  if (!seed.empty() && (!sim::parse_int(seed, &seed_value) || seed_value < 0)) {
    fprintf(stderr, "lumo-sim soak: --seed needs a number from 0 to 2^63-1\n");
    bad = true;
  }
  if (bad || positional.size() != 1) return usage(stderr), 2;
  // Without --seed, one from the clock; it is printed, so the run can be replayed.
  options.seed = seed.empty() ? static_cast<uint64_t>(sim::wall_ms()) : static_cast<uint64_t>(seed_value);
  options.root = positional[0];
  return sim::run_soak(options);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage(stderr), 2;
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "create") return create(args);
  if (command == "run") return run(args);
  if (command == "screenshot") return screenshot(args);
  if (command == "contact") return contact(args);
  if (command == "measure") return measure(args);
  if (command == "soak") return soak(args);
  if (command == "help" || command == "--help" || command == "-h") return usage(stdout), 0;
  fprintf(stderr, "lumo-sim: unknown command '%s'\n", command.c_str());
  usage(stderr);
  return 2;
}
