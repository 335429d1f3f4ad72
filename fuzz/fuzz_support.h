// What the fuzz targets share: a scratch directory made once per process and removed
// at exit, whole-file writes, and the check that stops a run with a report (libFuzzer
// then keeps the input that broke the invariant).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace zdfuzz {

// A fresh directory under $TMPDIR (else /tmp), made on first use; it is removed with
// everything in it when the process exits normally.
const std::string& ScratchDir();

// Creates `path` and its missing parents; aborts when that fails.
void MakeDirs(const std::string& path);

// Replaces the file at `path` by `size` bytes of `data`; aborts when that fails.
void WriteWholeFile(const std::string& path, const void* data, size_t size);

// Sets the last-write time of `path` to the given local calendar time, with the UTC
// offset that held at that time (how the patcher reads and stamps file times).
void StampLocal(const std::string& path, int year, int month, int day, int hour, int minute);

// Prints where and why an invariant failed, with `detail`, and aborts.
[[noreturn]] void Fail(const char* file, int line, const char* condition, const std::string& detail);

// `text` with bytes outside printable ASCII written as \xNN, cut to 300 characters.
std::string Printable(const std::string& text);

}  // namespace zdfuzz

// `detail` (a std::string expression) is evaluated only when the check fails.
#define ZD_FUZZ_CHECK(condition, detail)                                  \
  do {                                                                    \
    if (!(condition)) ::zdfuzz::Fail(__FILE__, __LINE__, #condition, (detail)); \
  } while (0)
