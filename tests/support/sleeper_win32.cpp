// A Windows program that stays running until told to end, for the tests of a running
// program's file: it opens the two named events of its command line, sets the first
// ("running") and ends when the second ("end") is set, or after a minute at the latest
// so that a failed test leaves nothing behind.
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  HANDLE running = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]);
  HANDLE end = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
  if (running == nullptr || end == nullptr) return 1;
  SetEvent(running);
  return WaitForSingleObject(end, 60000) == WAIT_OBJECT_0 ? 0 : 3;
}
