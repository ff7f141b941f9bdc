#pragma once

#include <dirent.h>

namespace dexhand_test {

// Number of descriptors this process has open.
inline int open_descriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') {
                ++count;
            }
        }
        ::closedir(dir);
        --count;  // the directory stream itself
    }
    return count;
}

}  // namespace dexhand_test
