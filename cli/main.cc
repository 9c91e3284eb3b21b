// main.cc - process entry.
#include "cli/run.h"

int main(int argc, char** argv) { return run_resize(argc, argv); }
