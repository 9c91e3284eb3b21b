// SPDX-License-Identifier: MIT
// help.h - the full help text (--help) and the version line (--version).
// The seven-line usage text of -h and -help stays in options.h.
#pragma once

#include <cstdio>

// "0.5.0": the project's version, set by the build.
const char* program_version();

// Writes "pellimor X.Y.Z" and a newline.
void print_version(std::FILE* out);

// Writes every keyword with its values and default, grouped, the geometry
// forms, the exit statuses and three examples.
void print_help(std::FILE* out);
