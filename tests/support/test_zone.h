// A time zone for the scope of a test, as far as this build can choose one: on Linux
// TZ (with tzset), restored after; a Windows program takes its zone when it starts
// (Wine from TZ), so there the zone is active only when the process already has it.
#pragma once
#include <memory>

namespace zdtest {

class TestZone {
 public:
  explicit TestZone(const char* name);
  ~TestZone();
  TestZone(const TestZone&) = delete;
  TestZone& operator=(const TestZone&) = delete;
  bool active() const { return active_; }

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;
  bool active_ = false;
};

}  // namespace zdtest
