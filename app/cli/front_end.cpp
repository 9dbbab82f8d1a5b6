#include "app/cli/front_end.h"

int RunProgram(int, char**) { return 0; }
