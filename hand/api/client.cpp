// The typed client: the same registry and per-hand locks as QmHand::DexHand,
// with every status passed on as it is and unserved operations refused
// before anything is sent.
#include "tessaro_dexhand/client.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <thread>

#include "client/calibration_codes.h"
#include "client/dexhand.h"
#include "manager/registration.h"
#include "transport/basehand.h"

namespace tessaro_dexhand {

using BaseHandProtocol::BaseHand;

namespace {

Status from_int(int status) {
    switch (status) {
    case BaseHandProtocol::kSuccess:
        return Status::ok;
    case BaseHandProtocol::kTimeout:
        return Status::timeout;
    default:
        return Status::failed;
    }
}

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kProgressPeriod{100};

}  // namespace

struct Client::Impl {
    QmHand::DexHand dex;
    std::vector<SkippedDevice> skipped;
    std::mutex progress_lock;

    hand_ws::Qhand& manager() { return dex.hand_manager; }

    // A registered hand that serves the operation, or the status that says why not.
    struct Found {
        Status status = Status::unknown_hand;
        BaseHand* hand = nullptr;
        const KindInfo* kind = nullptr;
    };
    Found find(const std::string& address) {
        if (!dex.isValidIP(address)) {
            return {Status::invalid_argument};
        }
        const auto& ips = manager().hand_ips;
        const auto it = std::find(ips.begin(), ips.end(), address);
        const auto index = static_cast<std::size_t>(it - ips.begin());
        if (it == ips.end() || index >= manager().hands.size() || index >= manager().names.size()) {
            return {Status::unknown_hand};
        }
        const KindInfo* kind = find_kind(manager().names[index]);
        if (kind == nullptr) {
            return {Status::unknown_hand};
        }
        return {Status::ok, manager().hands[index].get(), kind};
    }
    Found find(const std::string& address, Operation operation) {
        Found found = find(address);
        if (found.status == Status::ok && !found.kind->serves(operation)) {
            found.status = Status::not_served;
        }
        return found;
    }

    // Runs call(hand) under the hand's lock when the hand serves the operation.
    template <class Call>
    Status run(const std::string& address, Operation operation, Call call) {
        const Found found = find(address, operation);
        if (found.status != Status::ok) {
            return found.status;
        }
        const std::lock_guard<std::mutex> held(found.hand->operation_mutex());
        return from_int(call(*found.hand));
    }
    template <class T, class Call>
    Result<T> read(const std::string& address, Operation operation, Call call) {
        Result<T> result;
        T value{};
        result.status = run(address, operation, [&](BaseHand& hand) { return call(hand, value); });
        if (result.ok()) {
            result.value = std::move(value);
        }
        return result;
    }
    template <class Command>
    Status move(const std::string& address, Operation operation, const std::vector<float>& positions,
                Command command) {
        const Found found = find(address, operation);
        if (found.status != Status::ok) {
            return found.status;
        }
        if (!found.kind->check_positions(positions).empty()) {
            return Status::invalid_argument;
        }
        const std::lock_guard<std::mutex> held(found.hand->operation_mutex());
        return from_int(command(*found.hand, positions));
    }

    void report(const CalibrationCallback& progress, const CalibrationProgress& at) {
        if (progress) {
            const std::lock_guard<std::mutex> held(progress_lock);
            progress(at);
        }
    }
    // One hand's calibration: the command, then its error codes polled until
    // they show the outcome (as the integer API's worker does).
    Status calibrate_one(const Found& found, const std::string& address, const CalibrationCallback& progress) {
        namespace codes = QmHand::calibration_codes;
        const auto start = Clock::now();
        auto last_report = start;
        CalibrationProgress at;
        at.address = address;
        const auto tick = [&](bool finished, Status status) {
            const auto now = Clock::now();
            if (finished || now - last_report >= kProgressPeriod) {
                last_report = now;
                at.elapsed = now - start;
                at.finished = finished;
                at.status = status;
                report(progress, at);
            }
            return status;
        };
        int sent = 0;
        {
            const std::lock_guard<std::mutex> held(found.hand->operation_mutex());
            sent = found.hand->calibration();
        }
        // A command that timed out may still have started the routine: the
        // error codes tell.
        if (sent == BaseHandProtocol::kFailure) {
            return tick(true, Status::failed);
        }
        const auto settled = start + std::chrono::milliseconds(codes::kSettleMs);
        while (Clock::now() < settled) {
            tick(false, Status::ok);
            std::this_thread::sleep_for(std::min<Clock::duration>(kProgressPeriod, settled - Clock::now()));
        }
        for (int poll = 0; poll < codes::kPolls; ++poll) {
            std::vector<long> read;
            int status = 0;
            {
                const std::lock_guard<std::mutex> held(found.hand->operation_mutex());
                status = found.hand->get_errorcode(read);
            }
            if (status == BaseHandProtocol::kSuccess && !read.empty() && read[0] != codes::kRunning) {
                return tick(true, read[0] == codes::kFailed ? Status::failed : Status::ok);
            }
            tick(false, Status::ok);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return tick(true, Status::timeout);
    }
};

Client::Client() : impl_(std::make_unique<Impl>()) {}
Client::~Client() = default;

Status Client::discover() {
    impl_->skipped.clear();
    hand_ws::Qhand& manager = impl_->manager();
    const int found = manager.find_hand();
    if (found != BaseHandProtocol::kSuccess) {
        return found == BaseHandProtocol::kTimeout ? Status::timeout : Status::failed;
    }
    std::vector<hand_ws::Skipped> skipped;
    const int registered = hand_ws::register_discovered(manager, &skipped);
    for (auto& device : skipped) {
        impl_->skipped.push_back({device.address, device.name, device.type, device.reason});
    }
    if (registered != BaseHandProtocol::kSuccess) {
        return Status::failed;
    }
    return manager.hand_ips.empty() ? Status::failed : Status::ok;
}

std::vector<HandInfo> Client::hands() const {
    std::vector<HandInfo> all;
    for (const auto& address : impl_->manager().hand_ips) {
        all.push_back(hand(address).value);
    }
    return all;
}

std::vector<SkippedDevice> Client::skipped() const { return impl_->skipped; }

Result<HandInfo> Client::hand(const std::string& address) const {
    Result<HandInfo> result;
    const hand_ws::Qhand& manager = impl_->manager();
    const auto it = std::find(manager.hand_ips.begin(), manager.hand_ips.end(), address);
    if (it == manager.hand_ips.end()) {
        result.status = Status::unknown_hand;
        return result;
    }
    const auto index = static_cast<std::size_t>(it - manager.hand_ips.begin());
    const auto at = [index](const std::vector<std::string>& list) {
        return index < list.size() ? list[index] : std::string();
    };
    result.status = Status::ok;
    result.value.address = address;
    result.value.kind = at(manager.names);
    result.value.type = at(manager.types);
    result.value.driver_version = at(manager.driver_versions);
    result.value.hardware_version = at(manager.hardware_versions);
    // Serial numbers are listed only for the replies that carry one: by
    // index only when every reply did.
    if (manager.serial_numbers.size() == manager.names.size()) {
        result.value.serial_number = at(manager.serial_numbers);
    }
    return result;
}

const KindInfo* Client::kind_of(const std::string& address) const {
    const Result<HandInfo> found = hand(address);
    return found.ok() ? find_kind(found.value.kind) : nullptr;
}

Result<std::vector<float>> Client::positions(const std::string& address) {
    return impl_->read<std::vector<float>>(address, Operation::read_positions,
                                           [](BaseHand& hand, std::vector<float>& out) { return hand.get_pos(out); });
}

Result<std::vector<float>> Client::velocities(const std::string& address) {
    return impl_->read<std::vector<float>>(
        address, Operation::read_velocities, [](BaseHand& hand, std::vector<float>& out) { return hand.get_velocity(out); });
}

Result<std::vector<float>> Client::currents(const std::string& address) {
    return impl_->read<std::vector<float>>(
        address, Operation::read_currents, [](BaseHand& hand, std::vector<float>& out) { return hand.get_current(out); });
}

Result<std::vector<long>> Client::error_codes(const std::string& address) {
    return impl_->read<std::vector<long>>(
        address, Operation::read_error_codes, [](BaseHand& hand, std::vector<long>& out) { return hand.get_errorcode(out); });
}

Result<std::vector<std::vector<unsigned char>>> Client::tactile(const std::string& address) {
    return impl_->read<std::vector<std::vector<unsigned char>>>(
        address, Operation::read_tactile,
        [](BaseHand& hand, std::vector<std::vector<unsigned char>>& out) { return hand.get_ts_matrix(out); });
}

Result<std::string> Client::config(const std::string& address) {
    return impl_->read<std::string>(address, Operation::read_config,
                                    [](BaseHand& hand, std::string& out) { return hand.get_comm_config(out); });
}

HandState Client::state(const std::string& address, unsigned parts) {
    HandState state;
    state.address = address;
    const Impl::Found found = impl_->find(address);
    struct Part {
        StateParts part;
        Operation operation;
        Status* status;
    };
    const Part all[] = {{positions_part, Operation::read_positions, &state.positions_status},
                        {velocities_part, Operation::read_velocities, &state.velocities_status},
                        {currents_part, Operation::read_currents, &state.currents_status},
                        {error_codes_part, Operation::read_error_codes, &state.error_codes_status}};
    if (found.status != Status::ok) {
        for (const Part& part : all) {
            *part.status = found.status;
        }
        state.stamp = std::chrono::system_clock::now();
        return state;
    }
    const std::lock_guard<std::mutex> held(found.hand->operation_mutex());
    for (const Part& part : all) {
        if ((parts & part.part) == 0 || !found.kind->serves(part.operation)) {
            continue;
        }
        int status = BaseHandProtocol::kFailure;
        switch (part.part) {
        case positions_part:
            status = found.hand->get_pos(state.positions);
            break;
        case velocities_part:
            status = found.hand->get_velocity(state.velocities);
            break;
        case currents_part:
            status = found.hand->get_current(state.currents);
            break;
        default:
            status = found.hand->get_errorcode(state.error_codes);
            break;
        }
        *part.status = from_int(status);
    }
    // A part that was not read holds nothing.
    if (state.positions_status != Status::ok) state.positions.clear();
    if (state.velocities_status != Status::ok) state.velocities.clear();
    if (state.currents_status != Status::ok) state.currents.clear();
    if (state.error_codes_status != Status::ok) state.error_codes.clear();
    state.stamp = std::chrono::system_clock::now();
    return state;
}

Status Client::set_positions(const std::string& address, const std::vector<float>& positions) {
    return impl_->move(address, Operation::set_positions, positions,
                       [](BaseHand& hand, const std::vector<float>& values) { return hand.set_pos(values); });
}

Status Client::fast_set_positions(const std::string& address, const std::vector<float>& positions) {
    return impl_->move(address, Operation::fast_set_positions, positions,
                       [](BaseHand& hand, const std::vector<float>& values) { return hand.fast_set_positions(values); });
}

Status Client::enable(const std::string& address) {
    return impl_->run(address, Operation::enable, [](BaseHand& hand) { return hand.enable(); });
}

Status Client::disable(const std::string& address) {
    return impl_->run(address, Operation::disable, [](BaseHand& hand) { return hand.disable(); });
}

Status Client::reboot(const std::string& address) {
    return impl_->run(address, Operation::reboot, [](BaseHand& hand) { return hand.reboot(); });
}

Status Client::clear_error_codes(const std::string& address) {
    return impl_->run(address, Operation::clear_error_codes, [](BaseHand& hand) { return hand.clear_errorcode(); });
}

Status Client::set_config(const std::string& address, const std::string& config) {
    return impl_->run(address, Operation::write_config, [&config](BaseHand& hand) { return hand.set_comm_config(config); });
}

Status Client::calibrate(const std::string& address, const CalibrationCallback& progress) {
    return calibrate(std::vector<std::string>{address}, progress).front();
}

std::vector<Status> Client::calibrate(const std::vector<std::string>& addresses, const CalibrationCallback& progress) {
    std::vector<Status> results(addresses.size(), Status::failed);
    std::vector<std::thread> workers;
    workers.reserve(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const Impl::Found found = impl_->find(addresses[i], Operation::calibrate);
        if (found.status != Status::ok) {
            results[i] = found.status;
            continue;
        }
        try {
            workers.emplace_back([this, found, &addresses, &results, &progress, i] {
                results[i] = impl_->calibrate_one(found, addresses[i], progress);
            });
        } catch (const std::exception&) {
            results[i] = Status::failed;  // no thread could be started for it
        }
    }
    for (auto& worker : workers) {
        worker.join();
    }
    return results;
}

std::vector<Result<std::vector<float>>> Client::positions(const std::vector<std::string>& addresses) {
    std::vector<Result<std::vector<float>>> results(addresses.size());
    // An address refused here is no registered hand's for the round (an
    // empty text), so nothing is sent to it.
    std::vector<std::string> round(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        results[i].status = impl_->find(addresses[i], Operation::read_positions).status;
        if (results[i].ok()) {
            round[i] = addresses[i];
        }
    }
    std::vector<std::vector<float>> values;
    std::vector<int> statuses;
    impl_->manager().get_positions(round, values, statuses);
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (!round[i].empty()) {
            results[i].status = from_int(statuses[i]);
            if (results[i].ok()) {
                results[i].value = std::move(values[i]);
            }
        }
    }
    return results;
}

std::vector<Result<std::vector<float>>> Client::all_positions() { return positions(impl_->manager().hand_ips); }

std::vector<Status> Client::set_positions(const std::vector<std::string>& addresses,
                                          const std::vector<std::vector<float>>& positions) {
    std::vector<Status> results(addresses.size());
    std::vector<std::string> round(addresses.size());
    static const std::vector<float> kNone;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const Impl::Found found = impl_->find(addresses[i], Operation::set_positions);
        results[i] = found.status;
        if (found.status == Status::ok && !found.kind->check_positions(i < positions.size() ? positions[i] : kNone).empty()) {
            results[i] = Status::invalid_argument;
        }
        if (results[i] == Status::ok) {
            round[i] = addresses[i];
        }
    }
    std::vector<int> statuses;
    impl_->manager().set_positions(round, positions, statuses);
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (!round[i].empty()) {
            results[i] = from_int(statuses[i]);
        }
    }
    return results;
}

QmHand::DexHand& Client::legacy() { return impl_->dex; }

}  // namespace tessaro_dexhand
