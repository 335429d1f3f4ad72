// Splitting a command line into arguments by the rule the Windows runtime applies:
// blanks and tabs separate arguments, double quotes group (and are removed), and a
// line that begins with a blank gives an empty argument 0.
#pragma once
#include <string>
#include <vector>

namespace plat {

std::vector<std::string> SplitCommandLine(const char* commandLine);

}  // namespace plat
