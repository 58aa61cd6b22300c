#pragma once

// The whole program behind main: removes an old error file, checks the
// command line, sets up the search paths, runs one job and reports a fatal
// error. Returns the exit status: 0 after a job, 1 after a fatal error.
// `--help`, `-h` or `--version` as the only argument prints the usage or the
// version to standard output instead and leaves the error file alone
// (exit status 0, or 1 when standard output could not take it).
int tovrinMain(int argc, char** argv);
