// Local names from a patch list: whether a name may become a path in the installation.
//
// Lists are written for Windows, so a name must be one that Windows holds as a plain
// file inside the installation, whichever build reads it. A name that is rooted, names
// a drive or climbs out with ".." would write or delete outside the installation; one
// with a colon would write an alternate stream of another file on NTFS; a device name
// (CON, NUL, COM1 ...) opens a device instead of a file; a component ending in a dot or
// a blank is trimmed by Windows to another name; the characters Windows forbids in names
// (control characters, < > : " | ? *) make every file call fail, and the wildcards would
// let a lookup match some other file. Such a line is dropped whole.
#pragma once
#include <cstddef>

enum class LocalNameFault {
  kNone,
  kEmpty,
  kRooted,              // begins with a separator: "\x", "/x", "\\server\x"
  kDrive,               // "C:x"
  kClimbs,              // a component of two dots or more: "..", "..."
  kForbiddenCharacter,  // a control character or one of < > : " | ? *
  kDeviceName,          // CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-9, LPT1-9, any extension
  kTrailingDotOrBlank,  // a component other than "." that ends in a dot or a blank
};

// Judges the first `length` characters of `name`; both '\' and '/' separate components.
LocalNameFault CheckLocalName(const char* name, size_t length);

// A short reason for a fault, for messages ("names a device Windows reserves ...").
const char* DescribeLocalNameFault(LocalNameFault fault);
