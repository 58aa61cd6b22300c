#include "fault_injection.h"

#include <array>

namespace rk {
namespace {

// Calls left until each point fails; 0: unarmed.
std::array<int, static_cast<int>(eFault::kNone)> gCountdown{};

}  // namespace

void injectFault(eFault fault, int nth) {
  if (fault != eFault::kNone) gCountdown[static_cast<int>(fault)] = nth;
}

void clearFaults() { gCountdown.fill(0); }

bool faultHits(eFault fault) {
  if (fault == eFault::kNone) return false;
  int& left = gCountdown[static_cast<int>(fault)];
  return left > 0 && --left == 0;
}

}  // namespace rk
