#pragma once

// The whole program behind main: removes an old error file, checks the
// command line, sets up the search paths, runs one job and reports a fatal
// error. Returns the exit status: 0 after a job, 1 after a fatal error.
int tovrinMain(int argc, char** argv);
