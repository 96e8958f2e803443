#include <cstdio>
#include <exception>
#include <stdexcept>

#include "sim/options.h"
#include "sim/pty_modem.h"

int main(int argc, char** argv) {
  using namespace quorvex::sim;
  SimOptions options;
  try {
    options = ParseOptions({argv + 1, argv + argc});
  } catch (const std::invalid_argument& error) {
    std::fprintf(stderr, "quorvex-modem-sim: %s (see --help)\n", error.what());
    return 2;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  try {
    PtyModem modem(options);
    std::printf("quorvex-modem-sim: ready, %s -> %s\n", options.link.c_str(),
                modem.device().c_str());
    std::fflush(stdout);
    modem.Run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "quorvex-modem-sim: %s\n", error.what());
    return 1;
  }
  return 0;
}
