#include "app/cli/front_end.h"

#ifdef DISCFLASH_GUI
#include "app/gui/gui_front_end.h"
#endif

int main(int argc, char** argv) {
#ifdef DISCFLASH_GUI
    return RunProgram(argc, argv, &RunDialog);
#else
    return RunProgram(argc, argv, nullptr);
#endif
}
