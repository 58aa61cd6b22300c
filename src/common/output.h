#pragma once

// Standard output, on which the jobs print their progress lines and reports.
//
// A run must not pass for a success when what it printed was lost, so every
// write is checked and the reason for the first failure is kept. It must be
// kept at once: after a failed write glibc drops the unwritten bytes from its
// buffer, so a later flush may well succeed and leave errno as it was,
// depending on where the output's length falls against the buffer.

// Prints to standard output as printf does.
void printOutput(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Flushes standard output and raises a fatal error when anything printed
// since the last check was not written: "Could not write to standard
// output: " and the system's reason for the first failure (the bare first
// part when the system gave none). Standard output is ready for the next run
// either way.
void checkOutput();
