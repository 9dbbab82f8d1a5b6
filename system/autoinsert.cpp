#include "system/autoinsert.h"

int CheckAutoInsert() {
    return 1;
}
