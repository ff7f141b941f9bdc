#pragma once

// A simulated Inspire hand: six joints behind a byte-addressed register map
// on port 2333, and a JSON configuration service on port 2334.

#include <array>
#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "simulator.h"

namespace sim {

class InspireHand : public Hand {
public:
    static constexpr std::size_t kJoints = 6;
    using Values = std::array<std::uint16_t, kJoints>;

    // Register addresses (16-bit registers hold their value low byte first).
    static constexpr std::uint16_t kClearError = 0x03EC;     // write 1: clear the error bytes
    static constexpr std::uint16_t kCurrentLimit = 0x03FC;  // six 16-bit limits
    static constexpr std::uint16_t kTarget = 0x05CE;        // six 16-bit targets, -1 keeps the joint
    static constexpr std::uint16_t kSpeed = 0x05F2;         // six 16-bit speeds
    static constexpr std::uint16_t kPosition = 0x060A;      // six 16-bit actual positions
    static constexpr std::uint16_t kCurrent = 0x063A;       // six 16-bit currents
    static constexpr std::uint16_t kError = 0x0646;         // six error bytes
    static constexpr std::uint16_t kStatus = 0x064C;        // six status bytes
    static constexpr std::size_t kRegisterBytes = 0x0800;

    // Ways to answer wrongly, applied to every register reply.
    struct Quirks {
        int reply_hand_id = -1;                // answer as this hand id (-1: the own one)
        bool wrong_command_echo = false;       // echo another command byte
        bool wrong_address_echo = false;       // echo another register address
        std::size_t truncate_to = 0;           // cut replies to this many bytes (0: whole)
        bool wrong_checksum = false;           // spoil the checksum byte
        bool wrong_length = false;             // spoil the length byte
        std::set<std::uint16_t> silent_reads;  // registers whose reads go unanswered
    };

    // Speeds are in position units (0..1000) per second.
    explicit InspireHand(std::string address, unsigned char hand_id = 1);

    void set_quirks(Quirks quirks);

    // Joints jump to these positions and stop there.
    void set_positions(const Values& positions);
    // Where each joint is now (in register order).
    Values positions() const;
    Values targets() const;
    Values speeds() const;
    void set_errors(const std::array<std::uint8_t, kJoints>& errors);
    std::array<std::uint8_t, kJoints> errors() const;
    void set_status(const std::array<std::uint8_t, kJoints>& status);
    void set_currents(const Values& currents);
    void set_current_limits(const Values& limits);
    Values current_limits() const;

    // Sets one member of the configuration object (value as JSON text).
    void set_config_member(const std::string& key, const std::string& json_value);
    // The configuration reply as the hand sends it.
    std::string config_text() const;
    // Register frames that were dropped for a bad header, length or checksum.
    std::size_t bad_frames() const;

protected:
    std::vector<std::string> handle(unsigned short port, const std::string& datagram) override;
    void clock_changed(Clock::time_point old_now, Clock::time_point new_now) override;

private:
    using Clock = std::chrono::steady_clock;

    std::vector<std::string> handle_register_frame(const std::string& datagram);
    std::vector<std::string> handle_config(const std::string& datagram);
    std::string reply(unsigned char command, const unsigned char* address, const std::vector<std::uint8_t>& data) const;
    std::string config_text_locked() const;
    void put_config_member(const std::string& key, const std::string& json_value);

    double position_at(std::size_t joint, Clock::time_point now) const;
    // Freezes every joint where it is now, so a new target or speed starts
    // from there.
    void rebase(Clock::time_point now);
    void refresh_positions(Clock::time_point now);
    void apply_write(std::uint16_t address, const std::vector<std::uint8_t>& data, Clock::time_point now);
    std::uint16_t word(std::uint16_t address) const;
    void put_word(std::uint16_t address, std::uint16_t value);

    unsigned char hand_id_;
    Quirks quirks_;
    std::array<std::uint8_t, kRegisterBytes> registers_{};
    std::array<double, kJoints> start_{};
    std::array<double, kJoints> target_{};
    std::array<double, kJoints> speed_{};
    Clock::time_point since_ = Clock::now();
    std::vector<std::pair<std::string, std::string>> config_;  // key, JSON value text
    std::size_t bad_frames_ = 0;
};

}  // namespace sim
