#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "export.h"
#include "transport/basehand.h"

namespace hand_ws {

// Kinds of per-hand operation. Only named in get_operate_pointer()'s signature;
// nothing in the library hands out values of it.
enum class OperatePtrType {
    Calibration,
    Enable,
    Disable,
    Reboot,
    GetErrorcode,
    GetStatus,
    ClearErrorcode,
    SetPosition,
    GetPosition,
    FastSetPosition,
    GetTsMatrix,
    GetCommConfig,
    SetCommConfig,
    GetPvc,
};

// Discovery, the registry of hands and the by-address dispatch.
class DEXHAND_EXPORT Qhand {
public:
    Qhand();
    ~Qhand();

    Qhand(const Qhand&) = delete;
    Qhand& operator=(const Qhand&) = delete;

    // Broadcasts one discovery request on the hand subnet, listens for one
    // second and records every acceptable reply. Empties the registry first.
    // kSuccess when at least one address was found, kFailure when the socket
    // could not be set up, kTimeout when nothing usable came.
    int broadcast();
    // Runs broadcast() once and passes its result on.
    int find_hand();

    // Discovery, then one protocol object per discovered hand, chosen and
    // checked by the table of hand kinds (handkinds.h), then the
    // duplicate-address check. kSuccess, or kFailure on any failure with the
    // hands registered before the failure kept. Lets through the exception of
    // a protocol object whose endpoints cannot be created (an address text
    // that is not IPv4, no socket available).
    int init();

    // Kept for callers of earlier releases; the library calls neither.
    int is_duplicate_types();
    int remove_repeated_types();

    // By-address operations: each finds the first registered hand with
    // exactly this address text and calls its protocol object. An address
    // that is not registered gives kFailure. Results are
    // BaseHandProtocol::Status values (transport/status.h).
    int get_status(std::string ip, std::vector<unsigned char>& status);
    int get_errorcode(std::string ip, std::vector<long>& errorcode);
    int clear_errorcode(std::string ip);
    int calibration(std::string ip);
    int enable(std::string ip);
    int disable(std::string ip);
    int reboot(std::string ip);
    int set_position(std::string ip, std::vector<float> pos);
    int get_position(std::string ip, std::vector<float>& pos);
    int get_ts_matrix(std::string ip, std::vector<std::vector<unsigned char>>& matrix);
    int get_comm_config(std::string ip, std::string& config);
    int set_comm_config(std::string ip, std::string config);
    int fast_set_positon(std::string ip, std::vector<float> pos);
    int get_pvc(std::string ip, std::vector<std::vector<float>>& pvc);

    // Many hands in one round trip: every request goes out, then one sleep
    // waits on all their endpoints, each hand judged by its own kind's rules
    // and budget. statuses[i] and pos[i] are what get_position(ips[i], pos[i])
    // or set_position(ips[i], pos[i]) would give; both lists are resized to
    // ips. An address listed twice is served after the first has ended, as
    // one hand's exchanges must not overlap. A missing pos entry is an
    // empty list.
    void get_positions(const std::vector<std::string>& ips, std::vector<std::vector<float>>& pos,
                       std::vector<int>& statuses);
    void set_positions(const std::vector<std::string>& ips, const std::vector<std::vector<float>>& pos,
                       std::vector<int>& statuses);

    // Returns 0 and touches neither argument.
    int get_operate_pointer(std::vector<void*>& pointers, std::vector<OperatePtrType>& types);

    std::vector<std::unique_ptr<BaseHandProtocol::BaseHand>> hands;
    std::vector<std::string> hand_ips;
    std::vector<std::string> types;
    std::vector<std::string> names;
    std::vector<std::string> driver_versions;
    std::vector<std::string> hardware_versions;
    std::vector<std::string> serial_numbers;
    std::vector<std::vector<unsigned int>> version_arrays;
    std::vector<std::string> ip_addresses;
    int addr_len = 16;

private:
    // The first registered hand with exactly this address, or null.
    BaseHandProtocol::BaseHand* hand_for(const std::string& ip) const;
};

// The discovery wire format, apart from any socket.
namespace discovery {

constexpr const char* kBroadcastAddress = "192.168.137.255";
constexpr unsigned short kPort = 2334;
constexpr std::size_t kRequestLength = 512;
constexpr std::size_t kReplyLimit = 512;
constexpr int kListenMs = 1000;

// The 512-byte request: fifteen ASCII '1' then zeros.
std::vector<unsigned char> request();

enum class Outcome {
    Accepted,     // a reply from a known hand kind; fields filled
    ParseError,   // not one strict JSON text
    NoName,       // no string "name"
    UnknownName,  // a name that is no hand kind's (handkinds.h)
    Malformed,    // root not an object, or a version array that is not all unsigned 32-bit
};

// What one accepted reply adds to each discovery list, in the order added.
struct Reply {
    std::string name;
    std::optional<std::string> type;
    std::vector<std::string> ip_addresses;      // "IP", then "ip_address"
    std::optional<std::string> serial_number;
    std::vector<std::string> driver_versions;    // "driver_version", then "hardware_verison"
    std::vector<std::string> hardware_versions;  // "firmware_verison", then "firmware_version"
};

// Judges one reply text (the datagram up to its first NUL).
Outcome parse_reply(const char* text, Reply& reply);

// "a.b.c.d" from the first four elements, missing ones as 0.
std::string version_text(const std::vector<unsigned int>& elements);

}  // namespace discovery

}  // namespace hand_ws
