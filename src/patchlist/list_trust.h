// What an installation trusts: the publisher's keys it holds, the highest list sequence
// it has accepted, and the judgement of a downloaded list against both.
#pragma once
#include <cstddef>
#include <cstdint>

#include "patchlist/list_signature.h"
#include "platform/files.h"

extern const char kSequenceFileName[];  // "VornPatch.seq", beside the settings file

// The keys of this installation: the program's built-in keys and those PUBLICKEY= in
// section "PATCH_FTP" of the settings file names. False when the value is not a list
// of keys or is longer than the 255 characters a setting holds (cutting it could leave
// a different list): the run must not go on as if there were no key.
bool ReadInstallationKeys(const char* settingsPath, ListPublicKeys* keys);

// The highest sequence this installation accepted, from the sequence file in
// `installDir`: 0 when there is none or it does not hold a number.
uint64_t ReadAcceptedSequence(const char* installDir);
// Records `sequence`: written beside under a temporary name, then renamed over the
// file, so the file always holds the old number or the new one. False on failure.
bool WriteAcceptedSequence(const char* installDir, uint64_t sequence);

enum class ListVerdict {
  kAccepted,
  kNotSigned,   // a key is held and the list is not signed with one of them
  kRolledBack,  // its sequence is below the highest accepted
  kExpired,     // past its expiry
};

// Reads the list file at `path` into `list` (which must be fresh) and judges it. With
// no key every list is accepted as it always was; its hash lines are still read, for
// the damage check (ListHashesUsable). A list that cannot be read is accepted with no
// key and not signed with one.
ListVerdict JudgeListFile(const char* path, const ListPublicKeys& keys, uint64_t acceptedSequence,
                          plat::FileTime nowUtc, SignedList* list, bool* hashesUsable);
