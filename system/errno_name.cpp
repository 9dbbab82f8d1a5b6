#include "system/errno_name.h"

#include <cstring>

std::string ErrnoName(int err) {
    const char* name = strerrorname_np(err);
    return name ? name : "errno " + std::to_string(err);
}

std::string ErrnoText(int err) {
    return ErrnoName(err) + " (" + std::strerror(err) + ")";
}
