// Prints the installed library's kind facts (tessaro_dexhand::KindInfo) as
// the two Markdown tables of docs/hands.md, one column per kind named on the
// command line; check-install finds every line in that page, so the page
// cannot drift from the library's table.
//
//   kind_table qmhv1 qmhv2 QSH
#include <tessaro_dexhand/tessaro_dexhand.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace td = tessaro_dexhand;

namespace {

std::string number(float value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", static_cast<double>(value));
    return text;
}

void row(const std::vector<const td::KindInfo*>& kinds, const std::string& title,
         const std::function<std::string(const td::KindInfo&)>& cell) {
    std::string line = "| " + title + " |";
    for (const td::KindInfo* kind : kinds) {
        line += " " + cell(*kind) + " |";
    }
    std::printf("%s\n", line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<const td::KindInfo*> kinds;
    for (int i = 1; i < argc; ++i) {
        kinds.push_back(td::find_kind(argv[i]));
        if (kinds.back() == nullptr) {
            std::fprintf(stderr, "kind_table: no kind %s\n", argv[i]);
            return 1;
        }
    }
    if (kinds.size() != td::kinds().size()) {
        std::fprintf(stderr, "kind_table: the library has %zu kinds, %zu named\n", td::kinds().size(), kinds.size());
        return 1;
    }
    row(kinds, "`KindInfo`", [](const td::KindInfo& kind) { return "`" + kind.name + "`"; });
    std::string rule = "|---|";
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        rule += "---|";
    }
    std::printf("%s\n", rule.c_str());
    row(kinds, "`types`", [](const td::KindInfo& kind) {
        std::string text;
        for (const std::string& type : kind.types) {
            text += (text.empty() ? "\"" : ", \"") + type + "\"";
        }
        return text.empty() ? std::string("any") : text;
    });
    row(kinds, "`joints`", [](const td::KindInfo& kind) { return std::to_string(kind.joints); });
    row(kinds, "`joint_names`", [](const td::KindInfo& kind) {
        return kind.joint_names.empty() ? std::string("none")
                                        : "\"" + kind.joint_names.front() + "\" to \"" + kind.joint_names.back() + "\"";
    });
    row(kinds, "`position_unit`", [](const td::KindInfo& kind) { return "\"" + kind.position_unit + "\""; });
    row(kinds, "`position_min` to `position_max`",
        [](const td::KindInfo& kind) { return number(kind.position_min) + " to " + number(kind.position_max); });
    row(kinds, "`hold_value`", [](const td::KindInfo& kind) { return number(kind.hold_value); });
    row(kinds, "`tactile_row_bytes`", [](const td::KindInfo& kind) { return std::to_string(kind.tactile_row_bytes); });
    std::printf("\n");
    row(kinds, "`Operation`", [](const td::KindInfo& kind) { return "`" + kind.name + "`"; });
    std::printf("%s\n", rule.c_str());
    for (const td::Operation operation : td::all_operations()) {
        row(kinds, std::string("`") + td::to_text(operation) + "`",
            [operation](const td::KindInfo& kind) { return kind.serves(operation) ? "served" : "not served"; });
    }
    return 0;
}
