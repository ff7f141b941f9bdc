#pragma once

#include <dirent.h>

namespace dexhand_test {

// Number of descriptors this process has open.
inline int open_descriptors() {
    int count = -1;  // the directory stream itself
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        ::closedir(dir);
    }
    return count;
}

}  // namespace dexhand_test
