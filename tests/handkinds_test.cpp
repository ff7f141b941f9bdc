// The table of hand kinds: which discovered hands registration serves, and
// the line it prints for the others.
#include <gtest/gtest.h>

#include "manager/handkinds.h"

using hand_ws::select_kind;

TEST(HandKinds, RegistrationChecksTypeOrAddressAndNamesWhatItRefuses) {
    const std::string unknown = "The dexterous Qhand corresponding to name could not be recognized";
    const struct {
        const char* name;
        const char* type;
        const char* ip;
        std::string kind_or_line;  // the kind served, or the line printed instead
    } cases[] = {
        // Inspire hands: any type, but only at two addresses, written exactly so.
        {"QSH", "QSH-6", "192.168.137.19", "QSH"},
        {"QSH", "QMH-12L", "192.168.137.39", "QSH"},
        {"QSH", "", "192.168.137.20", "[Qhand] init(): ip: 192.168.137.20unexcepted!"},
        {"QSH", "QSH-6", "192.168.137.019", "[Qhand] init(): ip: 192.168.137.019unexcepted!"},
        // The generations: two types each, at any address.
        {"qmhv1", "QMH-6L", "192.168.137.10", "qmhv1"},
        {"qmhv1", "QMH-6R", "10.0.0.1", "qmhv1"},
        {"qmhv1", "QMH-12L", "192.168.137.10", "[Qhand] init(): type: QMH-12Lunexcepted!"},
        {"qmhv1", "qmh-6l", "192.168.137.10", "[Qhand] init(): type: qmh-6lunexcepted!"},
        {"qmhv2", "QMH-12L", "192.168.137.50", "qmhv2"},
        {"qmhv2", "QMH-12R", "192.168.137.39", "qmhv2"},
        {"qmhv2", "QMH-6L", "192.168.137.39", "[Qhand] init(): type: QMH-6Lunexcepted!"},
        {"qmhv3", "QMH-12L", "192.168.137.39", unknown},
        {"", "QMH-6L", "192.168.137.10", unknown},
    };
    for (const auto& c : cases) {
        const hand_ws::Selection selection = select_kind(c.name, c.type, c.ip);
        EXPECT_EQ(selection.kind != nullptr ? selection.kind->info.name : selection.refusal, c.kind_or_line)
            << c.name << " " << c.type << " " << c.ip;
    }
}
