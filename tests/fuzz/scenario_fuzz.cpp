// lumo-sim scenario files: any text through the scenario parser. A parse
// either succeeds or names the failing line as "FILE:LINE: message".
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  sim::Scenario scenario;
  std::string error;
  if (sim::parse_scenario(text, "fuzz.scn", &scenario, &error)) {
    for (const sim::Step& step : scenario.steps) {
      if (step.line < 1) abort();
    }
  } else if (error.rfind("fuzz.scn:", 0) != 0) {
    abort();
  }
  return 0;
}
