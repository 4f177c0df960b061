#pragma once

// For the test-only converter pstopdf-system-calls, never installed: the
// confined job runs a list of system calls instead of the interpreter, as
// code running through an interpreter's fault would, to show the barrier
// refusing each one from inside a real job.

// Reads the list from inputFd, one call a line, runs each and says on
// standard error what became of it ("CALL chmod /x: refused (...)" or
// "CALL chmod /x: done"). Never returns.
[[noreturn]] void RunSystemCallTrial(int inputFd);
