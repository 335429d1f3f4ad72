// Part of a test run in a forked child process: for what must not touch the test
// process itself (a file size limit, a mount namespace of its own).
#pragma once
#include <functional>
#include <string>

namespace zdtest {

// Runs `body` in a child process and fails the test when the child's checks failed
// (the child prints its own failures), when it ended otherwise than by returning, or
// when it was still running after `ms` (it is then killed). A child that called
// SkipInChild skips the test.
void ExpectPassesInChild(const std::function<void()>& body, int ms = 120000);

// In the child: ends it at once, as skipped, saying why on standard error.
[[noreturn]] void SkipInChild(const std::string& why);

}  // namespace zdtest
