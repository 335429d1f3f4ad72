// Links for the files service's tests, made with whatever this system offers.
#pragma once
#include <string>

namespace zdtest {

// Makes `link` a link to `target` (an existing directory when `directory`, else an
// existing file). False with the reason in `whyNot` when this system lets a program
// make no such link.
bool MakeLink(const std::string& link, const std::string& target, bool directory, std::string* whyNot);

// Removes a link made by MakeLink, never what it leads to, so that a test's tree can
// then be removed with its contents (a walk that follows links would empty the target
// or, under Wine, never end at a link left dangling).
bool RemoveLink(const std::string& link, bool directory);

}  // namespace zdtest
