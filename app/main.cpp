#include <sys/auxv.h>

#include "app/cli/front_end.h"
#include "app/cli/startup.h"

#ifdef DISCFLASH_GUI
#include "app/gui/gui_front_end.h"
#endif

int main(int argc, char** argv) {
#ifdef DISCFLASH_TEST_SECURE
    // The test build: runs as file capabilities would start it, from the build tree.
    PrepareProcess(true, true);
#else
    PrepareProcess(getauxval(AT_SECURE) != 0);
#endif
#ifdef DISCFLASH_GUI
    return RunProgram(argc, argv, &RunDialog);
#else
    return RunProgram(argc, argv, nullptr);
#endif
}
