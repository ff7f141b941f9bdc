// The Python module tessaro_dexhand: QmHand::DexHand with Pythonic results.
//
// Every call into the library runs with the GIL released, so other Python
// threads keep running while a call waits on a hand. Results are therefore
// built as C++ values inside the call and turned into Python objects after it,
// with the GIL held again. The library's diagnostic lines go to the logger
// "tessaro_dexhand" instead of the process's standard output.
#include <Python.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/dexhand.h"
#include "transport/diagnostics.h"
#include "transport/status.h"

namespace py = pybind11;

namespace {

// Text that came from a hand (identities, configuration, log lines): bytes
// that are not UTF-8 become U+FFFD rather than an exception.
struct HandText {
    std::string bytes;
};

// The tactile matrix: each row becomes one bytes object.
struct Rows {
    std::vector<std::vector<unsigned char>> rows;
};

}  // namespace

namespace pybind11 {
namespace detail {

template <>
struct type_caster<HandText> {
    PYBIND11_TYPE_CASTER(HandText, const_name("str"));

    bool load(handle, bool) { return false; }

    static handle cast(const HandText& text, return_value_policy, handle) {
        return PyUnicode_DecodeUTF8(text.bytes.data(), static_cast<Py_ssize_t>(text.bytes.size()), "replace");
    }
};

template <>
struct type_caster<Rows> {
    PYBIND11_TYPE_CASTER(Rows, const_name("list[bytes]"));

    bool load(handle, bool) { return false; }

    static handle cast(const Rows& matrix, return_value_policy, handle) {
        list out;
        for (const auto& row : matrix.rows) {
            out.append(bytes(reinterpret_cast<const char*>(row.data()), row.size()));
        }
        return out.release();
    }
};

}  // namespace detail
}  // namespace pybind11

namespace {

using Release = py::call_guard<py::gil_scoped_release>;

// Cleared at interpreter exit: from then on a line printed by a thread still
// inside the library must not reach Python.
std::atomic<bool> python_alive{false};

int python_level(Diagnostics::Level level) {
    switch (level) {
    case Diagnostics::Level::trace:
        return 10;  // logging.DEBUG
    case Diagnostics::Level::info:
        return 20;  // logging.INFO
    case Diagnostics::Level::warning:
        return 30;  // logging.WARNING
    case Diagnostics::Level::error:
        return 40;  // logging.ERROR
    }
    return 40;
}

// Runs on whichever thread printed (a caller's thread with the GIL released,
// or a calibration worker): takes the GIL for the one call into logging.
void log_line(Diagnostics::Level level, Diagnostics::Stream, std::string_view text) {
    if (!python_alive.load() || !Py_IsInitialized()) {
        return;
    }
    py::gil_scoped_acquire gil;
    try {
        py::object message = py::reinterpret_steal<py::object>(
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (!message) {
            throw py::error_already_set();
        }
        py::module_::import("logging").attr("getLogger")("tessaro_dexhand").attr("log")(python_level(level), message);
    } catch (py::error_already_set& error) {
        // A handler must not throw; a broken logging setup shows as an
        // unraisable-exception report instead.
        error.discard_as_unraisable("tessaro_dexhand log handler");
    }
}

void install_log_handler() {
    python_alive.store(true);
    Diagnostics::set_handler(log_line);
    // Uninstalled before the interpreter goes away, so that no line printed
    // later (by a thread still inside the library) calls into a finalised
    // interpreter; the library's own default printing takes over again.
    py::module_::import("atexit").attr("register")(py::cpp_function([]() {
        python_alive.store(false);
        Diagnostics::set_handler({});
    }));
}

std::vector<HandText> texts(const std::vector<std::string>& list) {
    std::vector<HandText> out;
    out.reserve(list.size());
    for (const auto& text : list) {
        out.push_back(HandText{text});
    }
    return out;
}

constexpr const char* kModuleDoc = R"(Client for dexterous robot hands on the 192.168.137.0/24 subnet.

    import tessaro_dexhand
    hand = tessaro_dexhand.DexHand()
    if hand.init() == tessaro_dexhand.SUCCESS:
        for ip in hand.get_ip_list():
            print(ip, hand.get_name(ip), hand.get_pos(ip))

Commands return 0 (SUCCESS), -1 (FAILURE) or -2 (TIMEOUT); reads return an
empty result on failure. Every call releases the GIL while it waits on a hand.
The library's diagnostic lines go to the logger "tessaro_dexhand" (trace as
DEBUG, info as INFO, warning as WARNING, error as ERROR).

Joints, units, ranges and the operations each hand kind serves: docs/hands.md.)";

constexpr const char* kClassDoc = R"(The handle on the hands of the subnet (one per process is enough).

Every hand is named by its IPv4 address text. Calls on one hand must not
overlap (a hand's replies carry no request identifier); calls on different
hands may run on different threads; init must not overlap any other call.
Joints, units and ranges per hand kind: docs/hands.md.)";

}  // namespace

PYBIND11_MODULE(tessaro_dexhand, m) {
    m.doc() = kModuleDoc;

    m.attr("SUCCESS") = static_cast<int>(BaseHandProtocol::kSuccess);
    m.attr("FAILURE") = static_cast<int>(BaseHandProtocol::kFailure);
    m.attr("TIMEOUT") = static_cast<int>(BaseHandProtocol::kTimeout);
    m.def(
        "status_text", [](int status) { return std::string(BaseHandProtocol::status_text(status)); },
        py::arg("status"), "\"success\", \"failure\", \"timeout\", or \"unknown status\" for any other value.");

    py::class_<hand_ws::Qhand, std::unique_ptr<hand_ws::Qhand, py::nodelete>>(
        m, "HandManager",
        "The registry behind a DexHand: what discovery collected, as read-only lists (copies).")
        .def_property_readonly(
            "hand_ips", [](const hand_ws::Qhand& q) { return texts(q.hand_ips); },
            "The registered addresses, in registration order.")
        .def_property_readonly(
            "ip_addresses", [](const hand_ws::Qhand& q) { return texts(q.ip_addresses); },
            "Every address that discovery collected.")
        .def_property_readonly(
            "names", [](const hand_ws::Qhand& q) { return texts(q.names); }, "Discovery names, in reply order.")
        .def_property_readonly(
            "types", [](const hand_ws::Qhand& q) { return texts(q.types); }, "Discovery types, in reply order.")
        .def_property_readonly(
            "serial_numbers", [](const hand_ws::Qhand& q) { return texts(q.serial_numbers); },
            "Serial numbers of the replies that carried one.")
        .def_property_readonly(
            "driver_versions", [](const hand_ws::Qhand& q) { return texts(q.driver_versions); },
            "Driver version texts collected by discovery.")
        .def_property_readonly(
            "hardware_versions", [](const hand_ws::Qhand& q) { return texts(q.hardware_versions); },
            "Hardware version texts collected by discovery.");

    py::class_<QmHand::DexHand>(m, "DexHand", kClassDoc)
        .def(py::init<>(), "An empty client; nothing goes on the network until init().")
        .def("init", &QmHand::DexHand::init, py::arg("unused") = 0, Release(),
             "Discovers the hands (one second of listening) and registers those that can be served.\n"
             "0 on success, -1 otherwise; the argument has no effect. Raises only when a discovered\n"
             "hand's address cannot be opened.")
        .def("get_ip_list", &QmHand::DexHand::get_ip_list, Release(),
             "The registered addresses (list of str), in registration order.")
        .def("isValidIP", &QmHand::DexHand::isValidIP, py::arg("ip"), Release(),
             "True for four dot-separated decimal fields of 0 to 255.")
        .def(
            "get_name", [](QmHand::DexHand& c, std::string ip) { return HandText{c.get_name(std::move(ip))}; },
            py::arg("ip"), Release(), "The hand's discovery name (\"qmhv1\", \"qmhv2\" or \"QSH\"); \"\" when unknown.")
        .def(
            "get_type", [](QmHand::DexHand& c, std::string ip) { return HandText{c.get_type(std::move(ip))}; },
            py::arg("ip"), Release(), "The hand's discovery type; \"\" when unknown. See docs/hands.md.")
        .def(
            "get_driver_ver",
            [](QmHand::DexHand& c, std::string ip) { return HandText{c.get_driver_ver(std::move(ip))}; },
            py::arg("ip"), Release(), "The driver version text from discovery; \"\" when unknown. See docs/hands.md.")
        .def(
            "get_hardware_ver",
            [](QmHand::DexHand& c, std::string ip) { return HandText{c.get_hardware_ver(std::move(ip))}; },
            py::arg("ip"), Release(),
            "The hardware version text from discovery; \"\" when unknown. See docs/hands.md.")
        .def("enable", py::overload_cast<>(&QmHand::DexHand::enable), Release(),
             "Enables every registered hand in order; -1 at the first failure, 0 otherwise.")
        .def("enable", py::overload_cast<std::string>(&QmHand::DexHand::enable), py::arg("ip"), Release(),
             "Enables one hand: 0, -1 or -2.")
        .def("disable", py::overload_cast<>(&QmHand::DexHand::disable), Release(),
             "Disables every registered hand in order; -1 at the first failure, 0 otherwise.")
        .def("disable", py::overload_cast<std::string>(&QmHand::DexHand::disable), py::arg("ip"), Release(),
             "Disables one hand: 0, -1 or -2.")
        .def("reboot", py::overload_cast<>(&QmHand::DexHand::reboot), Release(),
             "Reboots every registered hand in order; -1 at the first failure, 0 otherwise.")
        .def("reboot", py::overload_cast<std::string>(&QmHand::DexHand::reboot), py::arg("ip"), Release(),
             "Reboots one hand: 0, -1 or -2.")
        .def("set_pos", &QmHand::DexHand::set_pos, py::arg("ip"), py::arg("pos"), Release(),
             "Commands joint positions (list of float, one per joint in the order of docs/hands.md): 0, -1 or -2.")
        .def("fast_set_pos", &QmHand::DexHand::fast_set_pos, py::arg("ip"), py::arg("pos"), Release(),
             "Commands joint positions without waiting for an answer where the hand kind allows it: 0, -1 or -2.\n"
             "See docs/hands.md.")
        .def("get_pos", &QmHand::DexHand::get_pos, py::arg("ip"), Release(),
             "Joint positions (list of float, see docs/hands.md); [] when the read failed.")
        .def("get_errorcode", &QmHand::DexHand::get_errorcode, py::arg("ip"), Release(),
             "Error codes (list of int) as the hand reports them; returned even after a failed read.")
        .def("clear_errorcode", &QmHand::DexHand::clear_errorcode, py::arg("ip"), Release(),
             "Clears the hand's error codes: 0 or -1.")
        .def("set_hand_config", &QmHand::DexHand::set_hand_config, py::arg("ip"), py::arg("config"), Release(),
             "Writes the hand's configuration (JSON text): 0 or -1.")
        .def(
            "get_hand_config",
            [](QmHand::DexHand& c, std::string ip) { return HandText{c.get_hand_config(std::move(ip))}; },
            py::arg("ip"), Release(), "The hand's configuration as JSON text; \"\" when the read failed.")
        .def(
            "get_ts_matrix", [](QmHand::DexHand& c, std::string ip) { return Rows{c.get_ts_matrix(std::move(ip))}; },
            py::arg("ip"), Release(),
            "The tactile matrix: a list of bytes rows; [] when the hand has none or the read failed.\n"
            "See docs/hands.md.")
        .def("get_pvc", &QmHand::DexHand::get_pvc, py::arg("ip"), Release(),
             "[positions, velocities, currents] (lists of float); [] unless all three could be read.")
        .def("calibration", py::overload_cast<>(&QmHand::DexHand::calibration), Release(),
             "Calibrates every second-generation hand in parallel and waits for the outcome: 0, -1 or -2.")
        .def("calibration", py::overload_cast<std::string>(&QmHand::DexHand::calibration), py::arg("ip"),
             Release(), "Calibrates one hand (second-generation hands only; others count as done): 0, -1 or -2.")
        .def(
            "calibrationThread",
            [](QmHand::DexHand& c, std::string ip) {
                c.calibrationThread(ip);
                return ip;
            },
            py::arg("ip"), Release(),
            "One calibration worker for this address, run on the calling thread: \"success\", \"error\" or\n"
            "\"timeout\".")
        .def_property_readonly(
            "hand_manager", [](QmHand::DexHand& c) { return &c.hand_manager; }, py::return_value_policy::reference_internal,
            "The registry behind the client (HandManager).");

    install_log_handler();
}
