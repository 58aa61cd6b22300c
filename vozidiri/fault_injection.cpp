#include "fault_injection.h"

#ifdef VOZIDIRI_FAULTS

#include <array>

namespace rk {
namespace {

struct Armed {
  int left = 0;     // calls until it fails; 0: unarmed
  std::string key;  // only calls about this key count; empty: every call
};

std::array<Armed, static_cast<int>(eFault::kNone) + 1> gArmed;
int gLockWaitMs = kLockWaitMs;

}  // namespace

void CFaultScope::inject(eFault point, int nth, const std::string& key) const {
  if (point != eFault::kNone) gArmed[static_cast<int>(point)] = {nth, key};
}

CFaultScope::~CFaultScope() {
  gArmed.fill({});
  gLockWaitMs = kLockWaitMs;
}

bool faultHits(eFault point, const char* key) {
  Armed& armed = gArmed[static_cast<int>(point)];
  if (armed.left == 0) return false;
  if (!armed.key.empty() && (!key || armed.key != key)) return false;
  return --armed.left == 0;
}

void CFaultScope::lockWait(int milliseconds) const { gLockWaitMs = milliseconds; }
int lockWaitMs() { return gLockWaitMs; }

}  // namespace rk

#endif
