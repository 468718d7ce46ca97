// swugimg's commands, for its main and the fuzzers: runs the command line
// argv (argv[0] the program) and returns the exit status. It closes
// standard output at the end, to tell whether the results reached it.
#ifndef SWUG_SWUGIMG_H
#define SWUG_SWUGIMG_H

int swugimg_main(int argc, char **argv);

#endif
