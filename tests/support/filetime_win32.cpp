// Reads files back through Windows' own calls, for the Wine tests: for every path on
// its command line one line "YYYY-MM-DD HH:MM SIZE" (the last-write time in local
// time, converted with the zone's offset at that time, as the patcher stamps it), or
// "missing" when the file cannot be opened.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    SYSTEMTIME utc, st;
    if (!GetFileAttributesExA(argv[i], GetFileExInfoStandard, &data) ||
        !FileTimeToSystemTime(&data.ftLastWriteTime, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &st)) {
      std::printf("missing\n");
      continue;
    }
    const unsigned long long size =
        (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    std::printf("%04u-%02u-%02u %02u:%02u %llu\n", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, size);
  }
  return 0;
}
