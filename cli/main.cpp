#include "cli/options.h"

int main(int argc, char** argv) { return runQuillfind(argc, argv); }
