// SPDX-License-Identifier: MIT
// run.h - one resize from the command line to the output file.
#pragma once

// Parses the arguments, reads the input BMP, resamples red, green and blue,
// and writes "<output base>.bmp". Returns the process exit status:
//   0  a completed run, or a request for the usage text
//   1  the input is short ("input file size err!!"), unreadable, not a BMP
//      this program reads, too large, or the output cannot be written
//   2  a malformed command line (usage text)
int run_resize(int argc, char** argv);
