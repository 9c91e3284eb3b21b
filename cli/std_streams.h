// SPDX-License-Identifier: MIT
// std_streams.h - standard output and error whose failures are reported.
//
// A closed pipe (SIGPIPE ignored, so the write fails with EPIPE), a full
// device or a stream closed before the start all end the run with status
// 1 and a message on whichever stream still works.
#pragma once

// Ignores SIGPIPE unless the caller set a handler, and opens /dev/null on
// descriptors 0, 1 and 2 where they are closed, so that no file the run
// opens takes their place: standard output and error read-only, so that
// writes to them fail (and are reported) instead of vanishing.
void prepare_standard_streams();

// The exit status once standard output and error are flushed: `status`
// when every write to them went through, otherwise 1 (a nonzero status
// stays), after "pellimor: standard output: <reason>" on the other stream
// where it can be written.
int check_standard_streams(int status);
