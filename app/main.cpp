#include "app/cli/front_end.h"

int main(int argc, char** argv) { return RunProgram(argc, argv); }
