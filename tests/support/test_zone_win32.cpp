#include "support/test_zone.h"

#include <cstdlib>
#include <cstring>

namespace zdtest {

struct TestZone::Saved {};

TestZone::TestZone(const char* name) {
  const char* tz = std::getenv("TZ");
  active_ = tz != nullptr && std::strcmp(tz, name) == 0;
}

TestZone::~TestZone() = default;

}  // namespace zdtest
