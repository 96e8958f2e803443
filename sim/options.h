#pragma once

#include <string>
#include <vector>

#include "sim/modem_model.h"

namespace quorvex::sim {

struct SimOptions {
  std::string link;
  std::string transcript;
  std::string received;  // every byte received, raw
  ModelConfig model;
  bool pieces = false;  // answers go a few bytes at a time
  bool help = false;
};

extern const char* const kUsage;

// Throws std::invalid_argument with a message for the user on a bad command line.
SimOptions ParseOptions(const std::vector<std::string>& arguments);

}  // namespace quorvex::sim
