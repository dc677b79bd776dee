// The command line of quillfind.
#pragma once

// Walks the words argv[1] .. argv[argc-1] into runSettings, printing the help
// text or a usage error where a word calls for it. True when the program goes
// on to search; false when it ends here with status 0 (help, a usage error,
// or the list report, which the walk runs itself).
bool walkOptions(int argc, const char* const* argv);

// The help text, with programName as the name the user typed.
void printHelp(const char* programName);

// The whole program: the walk, the search, and the exit status. main is a
// thin shell over this, so that tests and fuzzers can run it in-process.
int runQuillfind(int argc, const char* const* argv);
