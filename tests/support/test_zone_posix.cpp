#include "support/test_zone.h"

#include "support/temp_tree.h"

namespace zdtest {

struct TestZone::Saved {
  explicit Saved(const char* name) : zone(name) {}
  ScopedTimeZone zone;
};

TestZone::TestZone(const char* name) : saved_(new Saved(name)), active_(true) {}

TestZone::~TestZone() = default;

}  // namespace zdtest
