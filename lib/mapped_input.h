// SPDX-License-Identifier: MIT
// mapped_input.h - reading a mapped file that may shrink under us.
//
// A regular input file is mapped rather than copied. If another program
// truncates it in place while it is mapped, touching a page past the new end
// raises SIGBUS, which would kill the process in the middle of a job. A
// watched mapping instead gets a page of zeros where the file's page was,
// and is marked spoiled, so the job can refuse the input as changed.
#pragma once

#include <cstddef>

namespace pellimor {

// Watches [at, at + length), a read-only mapping of a file. Returns a
// watch number, or -1 when no more mappings can be watched at once (the
// caller then reads the file instead of mapping it).
int watch_mapping(const void* at, std::size_t length);

// Whether a page of the mapping was found gone since it was watched.
bool mapping_spoiled(int watch);

// Stops watching, before the mapping is unmapped.
void unwatch_mapping(int watch);

}  // namespace pellimor
