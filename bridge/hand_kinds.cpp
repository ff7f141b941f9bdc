#include "hand_kinds.h"

namespace bridge {
namespace {

std::vector<std::string> numbered_joints(int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        names.push_back("joint_" + std::to_string(i));
    }
    return names;
}

// The one table of joint names. The library orders every kind's joint list
// itself (the Inspire adapter already permutes its registers), so the names
// follow the library's index. Inspire velocity and current reads take no
// reply and always run out their time budget, so only positions are read.
const std::vector<HandKind>& kinds() {
    static const std::vector<HandKind> table = {
        {"qmhv1", numbered_joints(6), true, false},
        {"qmhv2", numbered_joints(12), false, true},
        {"QSH", numbered_joints(6), false, false},
    };
    return table;
}

}  // namespace

const HandKind* find_kind(const std::string& name) {
    for (const HandKind& kind : kinds()) {
        if (kind.name == name) {
            return &kind;
        }
    }
    return nullptr;
}

}  // namespace bridge
