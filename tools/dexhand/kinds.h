#pragma once

// How the tool words what a hand's kind does not serve. The facts (joints,
// ranges, served operations) are the library's: tessaro_dexhand::KindInfo.

#include <initializer_list>
#include <string>

#include "tessaro_dexhand/kinds.h"

namespace dexhand_cli {

// Completes "<address> is a <kind> hand, which ..." for an operation the
// kind does not serve.
std::string lacking(tessaro_dexhand::Operation operation);

// The kinds that serve all these operations, for help texts: "QSH and qmhv1 hands".
std::string kinds_serving(std::initializer_list<tessaro_dexhand::Operation> operations);

// The positions each kind takes, for help texts: "6 values for QSH and qmhv1
// hands, 12 for qmhv2 hands".
std::string joint_counts();

// The span of a position value per kind: "0 to 1 (fraction) for QSH and
// qmhv1 hands, 0 to 180 (degree) for qmhv2 hands; -1 leaves a joint where it is".
std::string position_ranges();

}  // namespace dexhand_cli
