// lumo-sim: the simulated phone for lumoboot. Commands:
//   create DIR [options]            build a device root
//   run DIR SCENARIO [options]      play a scenario against lumoboot
//   screenshot DIR OUT.png          picture of the phone as it is now
//   contact OUT.png IN.png...       contact sheet of screenshots
//   measure DIR [options]           figures of one charging session
//   reset DIR                       clear what runs left (run-once mark, log)
//   serve DIR [--port N]            the phone live in a web page
//   soak DIR [options]              random events for minutes, invariants checked
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/files.h"
#include "sim/image.h"
#include "sim/measure.h"
#include "sim/reset.h"
#include "sim/runner.h"
#include "sim/soak.h"
#include "sim/scenario.h"
#include "sim/serve.h"

namespace {

// One command: its name, its usage lines, and what it does.
struct Command {
  const char* name;
  const char* usage;
  int (*run)(const std::vector<std::string>& args);
};
extern const Command kCommands[];

void usage(FILE* out);

// The usage of one command (and the create options where they apply).
void command_usage(const Command& command, FILE* out) {
  fprintf(out, "usage: lumo-sim %s\n", command.usage);
  std::string name = command.name;
  if (name == "create" || name == "measure") fprintf(out, "create options:\n%s", sim::device_options_help());
}

// An argument that looks like an option where a folder or file is wanted.
bool option_like(const std::string& arg) { return !arg.empty() && arg[0] == '-'; }

int create(const std::vector<std::string>& args) {
  if (args.empty() || option_like(args[0])) return usage(stderr), 2;
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
        take_value(args, &i, "--timeout", &timeout, &bad) ||
        take_value(args, &i, "--image", &options.vm_image, &bad)) {
      continue;
    }
    if (args[i] == "--vm") {
      options.vm = true;
    } else if (args[i] == "--fresh") {
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
  if (args.size() != 2 || option_like(args[0])) return usage(stderr), 2;
  std::string error;
  if (!sim::take_screenshot(sim::Device(sim::absolute_path(args[0])), args[1], &error)) {
    fprintf(stderr, "lumo-sim screenshot: %s\n", error.c_str());
    return 2;
  }
  return 0;
}

int contact(const std::vector<std::string>& args) {
  std::vector<std::string> files;
  std::string title;
  bool bad = false;
  for (size_t i = 0; i < args.size() && !bad; ++i) {
    if (!take_value(args, &i, "--title", &title, &bad)) files.push_back(args[i]);
  }
  if (bad || files.size() < 2) return usage(stderr), 2;
  std::vector<std::string> inputs(files.begin() + 1, files.end());
  if (title.empty()) {
    // Screenshots of a run: the scenario's name lies beside them.
    std::string dir = sim::absolute_path(inputs[0]);
    dir = dir.substr(0, dir.rfind('/'));
    title = sim::trim_sysfs(sim::read_file(sim::join_path(dir, sim::kScenarioNameFile)).value_or(""));
  }
  std::string error;
  if (!sim::make_contact_sheet(files[0], inputs, &error, title)) {
    fprintf(stderr, "lumo-sim contact: %s\n", error.c_str());
    return 2;
  }
  return 0;
}

int measure(const std::vector<std::string>& args) {
  if (args.empty() || option_like(args[0])) return usage(stderr), 2;
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

int reset(const std::vector<std::string>& args) {
  if (args.size() != 1 || option_like(args[0])) return usage(stderr), 2;
  std::string root = sim::absolute_path(args[0]), error;
  sim::UniqueFd lock;
  if (!sim::lock_device_root(root, &lock, &error)) {
    fprintf(stderr, "lumo-sim reset: %s\n", error.c_str());
    return 2;
  }
  sim::HostPhone phone(root, sim::default_program(), "/dev/null");
  if (!sim::reset_phone(&phone, &error)) {
    fprintf(stderr, "lumo-sim reset: %s\n", error.c_str());
    return 2;
  }
  printf("lumo-sim: %s reset (run-once mark, start-up facts, log and reboot lines cleared)\n", root.c_str());
  return 0;
}

int serve(const std::vector<std::string>& args) {
  sim::ServeOptions options;
  std::vector<std::string> positional;
  bool bad = false;
  std::string port;
  for (size_t i = 0; i < args.size() && !bad; ++i) {
    if (take_value(args, &i, "--port", &port, &bad) || take_value(args, &i, "--program", &options.program, &bad) ||
        take_value(args, &i, "--out", &options.out_dir, &bad)) {
      continue;
    }
    if (args[i] == "--keep") {
      options.reset = false;
    } else if (option_like(args[i])) {
      fprintf(stderr, "lumo-sim serve: unknown option %s\n", args[i].c_str());
      bad = true;
    } else {
      positional.push_back(args[i]);
    }
  }
  if (!port.empty() && (!sim::parse_int(port, &options.port) || options.port < 0 || options.port > 65535)) {
    fprintf(stderr, "lumo-sim serve: --port needs a number from 0 (any free port) to 65535\n");
    bad = true;
  }
  if (bad || positional.size() != 1) return usage(stderr), 2;
  options.root = positional[0];
  return sim::serve_phone(options);
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
    } else if (option_like(args[i])) {
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

int help(const std::vector<std::string>&) {
  usage(stdout);
  printf("\nscenario steps (one a line; sim/README.md has the details):\n%s", sim::scenario_steps_help());
  return 0;
}

const Command kCommands[] = {
    {"create", "create DIR [options]   build a phone (--force replaces a phone lumo-sim made)", create},
    {"run", "run DIR SCENARIO [--out OUTDIR] [--timeout S] [--program PATH] [--fresh] [--quiet]\n"
            "       run --vm RUNDIR SCENARIO [--image DIR] [--out OUTDIR] [--timeout S] [--quiet]   on the\n"
            "       virtual phone (RUNDIR: the machine's sockets and console; DIR: vm/build.sh's output)", run},
    {"reset", "reset DIR   clear what runs left: run-once mark, start-up facts, log, reboot lines", reset},
    {"serve", "serve DIR [--port N] [--out OUTDIR] [--program PATH] [--keep]   the phone live in a web page\n"
              "       on 127.0.0.1 (port 0 or none: any free port; --keep: no reset before the start)", serve},
    {"screenshot", "screenshot DIR OUT.png   the visible page, dimmed by the backlight", screenshot},
    {"contact", "contact OUT.png IN.png... [--title TEXT]   one PNG tiling screenshots with their names,\n"
                "       titled with TEXT or the scenario named in the screenshots' folder", contact},
    {"measure", "measure DIR [--idle S] [--program PATH] [create options]", measure},
    {"soak", "soak DIR [--minutes N] [--seed S] [--warmup S] [--out OUTDIR] [--program PATH] [--quiet]\n"
             "       random events for minutes on a fresh phone, invariants checked all along", soak},
    {"help", "help   the commands, create options and scenario steps", help},
};

void usage(FILE* out) {
  fprintf(out, "usage (lumo-sim COMMAND --help for one command):\n");
  for (const Command& c : kCommands) fprintf(out, "  lumo-sim %s\n", c.usage);
  fprintf(out, "create options:\n%s", sim::device_options_help());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage(stderr), 2;
  std::string name = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (name == "--help" || name == "-h") return help(args);
  for (const Command& command : kCommands) {
    if (name != command.name) continue;
    for (const std::string& arg : args) {
      if (arg == "--help" || arg == "-h") return command_usage(command, stdout), 0;
    }
    return command.run(args);
  }
  fprintf(stderr, "lumo-sim: unknown command '%s'\n", name.c_str());
  usage(stderr);
  return 2;
}
