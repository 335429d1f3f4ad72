// The program's entry point.
#include "app/patcher.h"

int main(int argc, char** argv) { return PatcherMain(plat::CurrentModule(), argc, argv); }
