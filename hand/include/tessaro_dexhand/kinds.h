#pragma once

/// @file
/// The facts about each kind of hand the library serves.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tessaro_dexhand/visibility.h"

namespace tessaro_dexhand {

/// An operation on one hand. A kind serves an operation exactly when the call can succeed
/// on a hand of that kind; the others return Status::not_served at once and send nothing.
enum class Operation {
    read_positions,      ///< Client::positions
    set_positions,       ///< Client::set_positions
    fast_set_positions,  ///< Client::fast_set_positions
    read_velocities,     ///< Client::velocities
    read_currents,       ///< Client::currents
    read_error_codes,    ///< Client::error_codes
    clear_error_codes,   ///< Client::clear_error_codes
    enable,              ///< Client::enable
    disable,             ///< Client::disable
    reboot,              ///< Client::reboot
    read_config,         ///< Client::config
    write_config,        ///< Client::set_config
    read_tactile,        ///< Client::tactile
    calibrate,           ///< Client::calibrate
};

/// Every operation, in declaration order.
TESSARO_DEXHAND_API const std::vector<Operation>& all_operations();

/// The operation's name, as in the enumeration ("read_positions", "calibrate", ...).
TESSARO_DEXHAND_API const char* to_text(Operation operation);

/// What the library knows about one kind of hand. Programs read these facts
/// instead of keeping tables of their own.
struct TESSARO_DEXHAND_API KindInfo {
    /// The discovery name ("qmhv1", "qmhv2", "QSH").
    std::string name;
    /// The discovery types the library registers; empty: any type.
    std::vector<std::string> types;
    /// Joints, and values a position command takes.
    std::size_t joints = 0;
    /// One name per joint, in the order of the position lists.
    std::vector<std::string> joint_names;
    /// The unit of a position value ("fraction" of the joint's travel, or "degree").
    std::string position_unit;
    /// The lowest position a command may ask for.
    float position_min = 0.0f;
    /// The highest position a command may ask for.
    float position_max = 0.0f;
    /// The value that leaves a joint where it is, allowed in any command.
    float hold_value = -1.0f;
    /// The operations this kind serves.
    std::vector<Operation> operations;
    /// Bytes in one row of the tactile matrix; 0 when the kind has none.
    /// The number of rows is the hand's.
    std::size_t tactile_row_bytes = 0;

    /// True when a hand of this kind serves the operation.
    bool serves(Operation operation) const;
    /// True when the kind has a tactile matrix.
    bool has_tactile() const { return tactile_row_bytes > 0; }
    /// Why these positions may not be sent to a hand of this kind, or an empty
    /// text when they may: the count must equal `joints`, and every value must
    /// be finite and within [position_min, position_max] or equal `hold_value`.
    std::string check_positions(const std::vector<float>& positions) const;
};

/// Every kind the library serves, in a fixed order.
TESSARO_DEXHAND_API const std::vector<KindInfo>& kinds();

/// The kind with this discovery name, or null.
TESSARO_DEXHAND_API const KindInfo* find_kind(std::string_view name);

}  // namespace tessaro_dexhand
