#pragma once

#include <memory>
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
    // checked by the table of hand kinds (handkinds.h; an address text that
    // is not IPv4 is refused there). A second entry with an address already
    // registered ends init with the duplicate line before any object is made
    // for it, and running out of descriptors ends it with a line of its own.
    // kSuccess, or kFailure on any failure with the hands registered before
    // the failure kept. Lets through any other exception of a protocol
    // object whose endpoints cannot be created.
    int init();

    // Kept for callers of earlier releases; the library calls neither.
    int is_duplicate_types();
    int remove_repeated_types();

    // By-address operations: each finds the first registered hand with
    // exactly this address text and calls its protocol object, holding the
    // hand's operation lock for the whole call. An address
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

}  // namespace hand_ws
