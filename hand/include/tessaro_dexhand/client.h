#pragma once

/// @file
/// The typed client: discovery, reads, commands and calibration with true statuses.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tessaro_dexhand/kinds.h"
#include "tessaro_dexhand/status.h"
#include "tessaro_dexhand/visibility.h"

namespace QmHand {
class DexHand;
}

namespace tessaro_dexhand {

/// A status and, when it is Status::ok, a value.
template <class T>
struct Result {
    /// What the call did.
    Status status = Status::failed;
    /// The value read; empty (value-initialised) unless status is Status::ok.
    T value{};
    /// True when status is Status::ok.
    bool ok() const { return status == Status::ok; }
    /// True when status is Status::ok.
    explicit operator bool() const { return ok(); }
};

/// What a hand said about itself at discovery.
struct TESSARO_DEXHAND_API HandInfo {
    /// Its IPv4 address, in dotted-quad text; the name every call takes.
    std::string address;
    /// Its kind's discovery name; kinds() and find_kind() give the facts.
    std::string kind;
    /// Its discovery type ("QMH-12R", ...).
    std::string type;
    /// The driver version text from discovery.
    std::string driver_version;
    /// The hardware version text from discovery.
    std::string hardware_version;
    /// The serial number from discovery; empty when the hand sent none.
    std::string serial_number;
    /// The facts of its kind (never null for a registered hand).
    const KindInfo* kind_info() const { return find_kind(kind); }
};

/// A device that answered discovery but was not registered.
struct TESSARO_DEXHAND_API SkippedDevice {
    /// The address it gave.
    std::string address;
    /// The discovery name it gave.
    std::string kind;
    /// The discovery type it gave.
    std::string type;
    /// Why it was not registered.
    std::string reason;
};

/// The parts of a hand's state that Client::state() reads.
enum StateParts : unsigned {
    positions_part = 1u,    ///< HandState::positions
    velocities_part = 2u,   ///< HandState::velocities
    currents_part = 4u,     ///< HandState::currents
    error_codes_part = 8u,  ///< HandState::error_codes
    all_parts = 15u,        ///< All four.
};

/// One reading of a hand: each part with its own status. A part the kind does
/// not serve is Status::not_served, a part not asked for is Status::not_served
/// too, and an unknown hand gives Status::unknown_hand for every part.
struct TESSARO_DEXHAND_API HandState {
    /// The hand's address.
    std::string address;
    /// When the reading ended (the system clock, for time stamps that other machines compare).
    std::chrono::system_clock::time_point stamp{};
    /// Joint positions in the kind's unit (KindInfo::position_unit).
    std::vector<float> positions;
    /// Joint velocities, as the hand reports them.
    std::vector<float> velocities;
    /// Joint currents, as the hand reports them.
    std::vector<float> currents;
    /// The hand's error codes.
    std::vector<long> error_codes;
    /// The outcome of the position read.
    Status positions_status = Status::not_served;
    /// The outcome of the velocity read.
    Status velocities_status = Status::not_served;
    /// The outcome of the current read.
    Status currents_status = Status::not_served;
    /// The outcome of the error-code read.
    Status error_codes_status = Status::not_served;
};

/// Where a calibration stands, as reported to a CalibrationCallback.
struct TESSARO_DEXHAND_API CalibrationProgress {
    /// The hand being calibrated.
    std::string address;
    /// Time since the calibration command was sent.
    std::chrono::duration<double> elapsed{};
    /// True once the hand reported the outcome or the calibration gave up.
    bool finished = false;
    /// The outcome once finished: ok, failed (the hand reported a failed
    /// calibration) or timeout (it never reported an end); ok while running.
    Status status = Status::ok;
};

/// Called from the calibrating threads about every 100 ms per hand and once
/// when a hand finishes; calls are serialised. It must not call the client.
using CalibrationCallback = std::function<void(const CalibrationProgress&)>;

/// The typed client of the hands on the subnet.
///
/// @code
/// tessaro_dexhand::Client client;
/// if (client.discover() == tessaro_dexhand::Status::ok) {
///     for (const auto& hand : client.hands()) {
///         auto positions = client.positions(hand.address);
///         if (positions) { /* positions.value */ }
///     }
/// }
/// @endcode
///
/// Threads: calls for different hands may run at once on different threads;
/// calls for one hand queue on the hand's lock (also with calls made through
/// legacy()). discover() must overlap no other call.
class TESSARO_DEXHAND_API Client {
public:
    /// Opens nothing: the client knows no hand until discover().
    Client();
    /// Closes the hands' endpoints.
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    /// Broadcasts one discovery request, listens for one second and registers
    /// every hand it can serve; a device it cannot serve (a type or address
    /// its kind does not take) is left out and listed by skipped(). Status::ok
    /// when at least one hand is registered, Status::timeout when no hand
    /// answered, Status::failed otherwise (the hands registered before a
    /// failure stay usable).
    Status discover();

    /// The registered hands, in registration order.
    std::vector<HandInfo> hands() const;
    /// The devices the last discover() left out.
    std::vector<SkippedDevice> skipped() const;
    /// One registered hand; Status::unknown_hand when none has this address.
    Result<HandInfo> hand(const std::string& address) const;
    /// The facts of a registered hand's kind, or null for an unknown address.
    const KindInfo* kind_of(const std::string& address) const;

    /// Reads the joint positions.
    Result<std::vector<float>> positions(const std::string& address);
    /// Reads the joint velocities (Operation::read_velocities).
    Result<std::vector<float>> velocities(const std::string& address);
    /// Reads the joint currents (Operation::read_currents).
    Result<std::vector<float>> currents(const std::string& address);
    /// Reads the error codes.
    Result<std::vector<long>> error_codes(const std::string& address);
    /// Reads the parts asked for (StateParts), each with its own status.
    HandState state(const std::string& address, unsigned parts = all_parts);
    /// Reads the tactile matrix: rows of KindInfo::tactile_row_bytes bytes.
    Result<std::vector<std::vector<unsigned char>>> tactile(const std::string& address);
    /// Reads the hand's configuration text.
    Result<std::string> config(const std::string& address);

    /// Commands joint targets, after KindInfo::check_positions (refused values
    /// give Status::invalid_argument and send nothing).
    Status set_positions(const std::string& address, const std::vector<float>& positions);
    /// The same through the kind's fast position command.
    Status fast_set_positions(const std::string& address, const std::vector<float>& positions);
    /// Enables the hand's motors.
    Status enable(const std::string& address);
    /// Disables the hand's motors.
    Status disable(const std::string& address);
    /// Restarts the hand.
    Status reboot(const std::string& address);
    /// Clears the hand's error codes.
    Status clear_error_codes(const std::string& address);
    /// Writes configuration items (a JSON object).
    Status set_config(const std::string& address, const std::string& config);

    /// Runs the calibration of one hand and waits for its outcome: ok, failed
    /// (the hand reported a failed calibration) or timeout (it never finished).
    Status calibrate(const std::string& address, const CalibrationCallback& progress = {});
    /// Calibrates these hands in parallel; result[i] is the outcome of addresses[i].
    std::vector<Status> calibrate(const std::vector<std::string>& addresses, const CalibrationCallback& progress = {});

    /// Many hands in one round trip: every request goes out, then one wait
    /// takes all the replies. result[i] is what positions(addresses[i]) gives.
    std::vector<Result<std::vector<float>>> positions(const std::vector<std::string>& addresses);
    /// positions() over every registered hand, in registration order.
    std::vector<Result<std::vector<float>>> all_positions();
    /// result[i] is what set_positions(addresses[i], positions[i]) gives; a
    /// missing positions[i] is refused as an empty list.
    std::vector<Status> set_positions(const std::vector<std::string>& addresses,
                                      const std::vector<std::vector<float>>& positions);

    /// The client of the integer API on the same registry and hand locks, for
    /// callers of the earlier interface.
    QmHand::DexHand& legacy();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaro_dexhand
