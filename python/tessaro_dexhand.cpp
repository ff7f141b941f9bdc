// The extension behind the Python package tessaro_dexhand: the typed client
// tessaro_dexhand::Client as DexHand (numpy results, exceptions for failures),
// and the integer client QmHand::DexHand as LegacyDexHand.
//
// Every call into the library runs with the GIL released, so other Python
// threads keep running while a call waits on a hand. Results are therefore
// built as C++ values inside the call and turned into Python objects after it,
// with the GIL held again. The library's diagnostic lines go to the logger
// "tessaro_dexhand" instead of the process's standard output.
#include <Python.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/dexhand.h"
#include "tessaro_dexhand/tessaro_dexhand.h"

namespace py = pybind11;
namespace td = tessaro_dexhand;

namespace {

// Text that came from a hand (identities, configuration, log lines): bytes
// that are not UTF-8 become U+FFFD rather than an exception.
struct HandText {
    std::string bytes;
};

// The legacy tactile matrix: each row becomes one bytes object.
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

// ---------------------------------------------------------------------------
// Diagnostics as log records.

// Cleared at interpreter exit: from then on a line printed by a thread still
// inside the library must not reach Python.
std::atomic<bool> python_alive{false};

int python_level(td::LogLevel level) {
    switch (level) {
    case td::LogLevel::trace:
        return 10;  // logging.DEBUG
    case td::LogLevel::info:
        return 20;  // logging.INFO
    case td::LogLevel::warning:
        return 30;  // logging.WARNING
    case td::LogLevel::error:
        return 40;  // logging.ERROR
    }
    return 40;
}

py::str decode(std::string_view text) {
    py::object out = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!out) {
        throw py::error_already_set();
    }
    return out;
}

// Runs on whichever thread printed (a caller's thread with the GIL released,
// or a calibration worker): takes the GIL for the one call into logging.
void log_line(td::LogLevel level, std::string_view text) {
    if (!python_alive.load() || !Py_IsInitialized()) {
        return;
    }
    py::gil_scoped_acquire gil;
    try {
        py::module_::import("logging").attr("getLogger")("tessaro_dexhand").attr("log")(python_level(level),
                                                                                        decode(text));
    } catch (py::error_already_set& error) {
        // A handler must not throw; a broken logging setup shows as an
        // unraisable-exception report instead.
        error.discard_as_unraisable("tessaro_dexhand log handler");
    }
}

void install_log_handler() {
    python_alive.store(true);
    td::set_log_handler(log_line);
    // Uninstalled before the interpreter goes away, so that no line printed
    // later (by a thread still inside the library) calls into a finalised
    // interpreter; the library's own default printing takes over again.
    py::module_::import("atexit").attr("register")(py::cpp_function([]() {
        python_alive.store(false);
        td::set_log_handler({});
    }));
}

// ---------------------------------------------------------------------------
// Python classes made at import: enumerations and exceptions.

// Held for the life of the process: destroying them after the interpreter
// has gone would touch freed memory.
struct Classes {
    py::object status;      // enum.Enum Status
    py::object operation;   // enum.Enum Operation
    py::object parts;       // enum.IntFlag StateParts
    py::object error;       // DexHandError
    py::object timeout;     // HandTimeout
    py::object failure;     // HandFailure
    py::object not_served;  // NotServed
    py::object unknown;     // UnknownHand
    py::object invalid;     // InvalidArgument
    std::vector<py::object> statuses;    // Status members by C++ value
    std::vector<py::object> operations;  // Operation members by C++ value
};
Classes* classes = nullptr;

constexpr td::Status kAllStatuses[] = {td::Status::ok,         td::Status::failed,       td::Status::timeout,
                                       td::Status::not_served, td::Status::unknown_hand, td::Status::invalid_argument};
constexpr const char* kStatusNames[] = {"OK", "FAILED", "TIMEOUT", "NOT_SERVED", "UNKNOWN_HAND", "INVALID_ARGUMENT"};

py::object to_python(td::Status status) { return classes->statuses.at(static_cast<std::size_t>(status)); }
py::object to_python(td::Operation operation) {
    return classes->operations.at(static_cast<std::size_t>(operation));
}

// An Operation member (or its name) as the library's value.
td::Operation operation_of(const py::handle& value) {
    if (py::isinstance(value, classes->operation)) {
        return static_cast<td::Operation>(value.attr("value").cast<int>());
    }
    throw py::type_error("expected a tessaro_dexhand.Operation");
}

py::object make_exception(const char* name, const char* doc, const std::vector<py::object>& bases) {
    py::tuple base_tuple(bases.size());
    for (std::size_t i = 0; i < bases.size(); ++i) {
        base_tuple[i] = bases[i];
    }
    const std::string qualified = std::string("tessaro_dexhand.") + name;
    PyObject* made = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base_tuple.ptr(), nullptr);
    if (made == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(made);
}

void make_classes(py::module_& m) {
    classes = new Classes();
    py::module_ enum_module = py::module_::import("enum");

    py::list status_members;
    for (std::size_t i = 0; i < std::size(kAllStatuses); ++i) {
        status_members.append(py::make_tuple(kStatusNames[i], static_cast<int>(kAllStatuses[i])));
    }
    classes->status = enum_module.attr("Enum")("Status", status_members, py::arg("module") = "tessaro_dexhand");
    classes->status.attr("__doc__") =
        "What a call did: OK, FAILED (the hand refused the request, its reply was unusable or the send\n"
        "failed), TIMEOUT (no answer within the operation's budget), NOT_SERVED (the hand's kind has no\n"
        "such operation; nothing was sent), UNKNOWN_HAND (no registered hand has this address; nothing\n"
        "was sent) or INVALID_ARGUMENT (an address or value was refused before anything was sent).\n"
        "status_text(status) gives a short text.";
    for (const td::Status status : kAllStatuses) {
        classes->statuses.push_back(classes->status(static_cast<int>(status)));
    }

    py::list operation_members;
    for (const td::Operation operation : td::all_operations()) {
        std::string name = td::to_text(operation);
        for (char& letter : name) {
            letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
        }
        operation_members.append(py::make_tuple(name, static_cast<int>(operation)));
    }
    classes->operation =
        enum_module.attr("Enum")("Operation", operation_members, py::arg("module") = "tessaro_dexhand");
    classes->operation.attr("__doc__") =
        "An operation on one hand, named after the DexHand method it stands for (READ_POSITIONS is\n"
        "positions(), WRITE_CONFIG is set_config(), ...). KindInfo.serves() tells whether a kind has it.";
    classes->operations.resize(td::all_operations().size());
    for (const td::Operation operation : td::all_operations()) {
        classes->operations.at(static_cast<std::size_t>(operation)) = classes->operation(static_cast<int>(operation));
    }

    py::list part_members;
    part_members.append(py::make_tuple("POSITIONS", static_cast<int>(td::positions_part)));
    part_members.append(py::make_tuple("VELOCITIES", static_cast<int>(td::velocities_part)));
    part_members.append(py::make_tuple("CURRENTS", static_cast<int>(td::currents_part)));
    part_members.append(py::make_tuple("ERROR_CODES", static_cast<int>(td::error_codes_part)));
    part_members.append(py::make_tuple("ALL", static_cast<int>(td::all_parts)));
    classes->parts = enum_module.attr("IntFlag")("StateParts", part_members, py::arg("module") = "tessaro_dexhand");
    classes->parts.attr("__doc__") =
        "The parts of a hand's state that DexHand.state() reads; combine them with |.";

    const auto exception = py::reinterpret_borrow<py::object>(PyExc_Exception);
    classes->error = make_exception(
        "DexHandError",
        "A DexHand call did not do what it was asked. `status` is the Status, `address` the hand's\n"
        "address (None when the call named none). The subclasses stand for each status.",
        {exception});
    classes->timeout = make_exception(
        "HandTimeout", "The hand did not answer within the operation's budget (Status.TIMEOUT); also a TimeoutError.",
        {classes->error, py::reinterpret_borrow<py::object>(PyExc_TimeoutError)});
    classes->failure = make_exception(
        "HandFailure",
        "The hand refused the request, its reply was unusable, or the request could not be sent (Status.FAILED).",
        {classes->error});
    classes->not_served = make_exception(
        "NotServed", "The hand's kind has no such operation; nothing was sent (Status.NOT_SERVED).", {classes->error});
    classes->unknown = make_exception(
        "UnknownHand", "No registered hand has this address; nothing was sent (Status.UNKNOWN_HAND); also a LookupError.",
        {classes->error, py::reinterpret_borrow<py::object>(PyExc_LookupError)});
    classes->invalid = make_exception(
        "InvalidArgument",
        "An address or value was refused before anything was sent (Status.INVALID_ARGUMENT); also a ValueError.",
        {classes->error, py::reinterpret_borrow<py::object>(PyExc_ValueError)});

    m.attr("Status") = classes->status;
    m.attr("Operation") = classes->operation;
    m.attr("StateParts") = classes->parts;
    m.attr("DexHandError") = classes->error;
    m.attr("HandTimeout") = classes->timeout;
    m.attr("HandFailure") = classes->failure;
    m.attr("NotServed") = classes->not_served;
    m.attr("UnknownHand") = classes->unknown;
    m.attr("InvalidArgument") = classes->invalid;
}

const py::object& exception_for(td::Status status) {
    switch (status) {
    case td::Status::timeout:
        return classes->timeout;
    case td::Status::not_served:
        return classes->not_served;
    case td::Status::unknown_hand:
        return classes->unknown;
    case td::Status::invalid_argument:
        return classes->invalid;
    default:
        return classes->failure;
    }
}

// Raises the exception of a status that is not ok ("192.168.137.39: read
// positions: timed out"), with `detail` appended when given.
[[noreturn]] void raise(td::Status status, const std::string& address, const char* what,
                        const std::string& detail = "") {
    std::string message = address.empty() ? what : address + ": " + what;
    message += std::string(": ") + td::to_text(status);
    if (!detail.empty()) {
        message += " (" + detail + ")";
    }
    const py::object& type = exception_for(status);
    py::object error = type(decode(message));
    error.attr("status") = to_python(status);
    error.attr("address") = address.empty() ? py::none() : py::object(decode(address));
    PyErr_SetObject(type.ptr(), error.ptr());
    throw py::error_already_set();
}

// For a call whose only argument is the address: an invalid argument is the address text.
void check(td::Status status, const std::string& address, const char* what) {
    if (status != td::Status::ok) {
        raise(status, address, what, status == td::Status::invalid_argument ? "not an IPv4 address" : "");
    }
}

// ---------------------------------------------------------------------------
// Values as numpy arrays and plain Python objects.

py::array_t<float> float_array(const std::vector<float>& values) {
    return py::array_t<float>(static_cast<py::ssize_t>(values.size()), values.data());
}

py::list long_list(const std::vector<long>& values) {
    py::list out;
    for (const long value : values) {
        out.append(value);
    }
    return out;
}

// The tactile matrix as rows x row bytes; rows of unequal length (which no
// kind sends) are an unusable reply.
py::array_t<std::uint8_t> tactile_array(const std::vector<std::vector<unsigned char>>& rows, std::size_t row_bytes,
                                        const std::string& address) {
    const std::size_t width = rows.empty() ? row_bytes : rows.front().size();
    for (const auto& row : rows) {
        if (row.size() != width) {
            raise(td::Status::failed, address, "read tactile matrix", "rows of unequal length");
        }
    }
    py::array_t<std::uint8_t> out({static_cast<py::ssize_t>(rows.size()), static_cast<py::ssize_t>(width)});
    auto* data = out.mutable_data();
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (width > 0) {
            std::memcpy(data + r * width, rows[r].data(), width);
        }
    }
    return out;
}

double seconds_since_epoch(std::chrono::system_clock::time_point stamp) {
    return std::chrono::duration<double>(stamp.time_since_epoch()).count();
}

// A position reading of one hand among many.
struct Reading {
    std::string address;
    td::Status status = td::Status::failed;
    std::vector<float> positions;
};

// What calibrate() reports to the Python callback.
struct Progress {
    td::CalibrationProgress at;
};

// ---------------------------------------------------------------------------
// DexHand: the typed client.

class PyDexHand {
public:
    PyDexHand() : client_(std::make_shared<td::Client>()) {}

    // The open client, for one call; a call in flight keeps it alive past close().
    std::shared_ptr<td::Client> client() const {
        if (!client_) {
            throw py::value_error("operation on a closed DexHand");
        }
        return client_;
    }
    void close() { client_.reset(); }
    bool closed() const { return !client_; }
    bool discovered() const { return discovered_; }

    std::vector<td::HandInfo> discover() {
        auto c = client();
        td::Status status;
        {
            py::gil_scoped_release release;
            status = c->discover();
        }
        discovered_ = true;
        check(status, "", "discover hands");
        return c->hands();
    }

    // A read with the GIL released, raising for a status that is not ok.
    template <class T, class Call>
    T read(const std::string& address, const char* what, Call call) {
        auto c = client();
        td::Result<T> result;
        {
            py::gil_scoped_release release;
            result = call(*c, address);
        }
        check(result.status, address, what);
        return std::move(result.value);
    }

    template <class Call>
    void command(const std::string& address, const char* what, Call call) {
        auto c = client();
        td::Status status;
        {
            py::gil_scoped_release release;
            status = call(*c);
        }
        check(status, address, what);
    }

    // A position command; a refused list raises InvalidArgument with the reason.
    template <class Call>
    void move(const std::string& address, const std::vector<float>& positions, const char* what, Call call) {
        auto c = client();
        td::Status status;
        {
            py::gil_scoped_release release;
            status = call(*c);
        }
        if (status == td::Status::invalid_argument) {
            const td::KindInfo* kind = c->kind_of(address);
            raise(status, address, what, kind != nullptr ? kind->check_positions(positions) : "not an IPv4 address");
        }
        check(status, address, what);
    }

    // Runs a calibration with the Python callback called under the GIL; the
    // first exception the callback raises stops further calls and is raised
    // once the calibration has ended.
    template <class Call>
    auto calibrate(const py::object& progress, Call call) {
        auto c = client();
        struct Shared {
            py::object callback;
            bool failed = false;
            std::unique_ptr<py::error_already_set> error;
        };
        auto shared = std::make_shared<Shared>();
        shared->callback = progress;
        td::CalibrationCallback forward;
        if (!progress.is_none()) {
            forward = [shared](const td::CalibrationProgress& at) {
                py::gil_scoped_acquire gil;
                if (shared->failed) {
                    return;
                }
                try {
                    shared->callback(Progress{at});
                } catch (py::error_already_set& error) {
                    shared->failed = true;
                    shared->error = std::make_unique<py::error_already_set>(std::move(error));
                }
            };
        }
        decltype(call(*c, forward)) result;
        {
            py::gil_scoped_release release;
            result = call(*c, forward);
        }
        if (shared->failed) {
            throw std::move(*shared->error);
        }
        return result;
    }

    std::vector<Reading> readings(const std::vector<std::string>& addresses,
                                  std::vector<td::Result<std::vector<float>>> results) {
        std::vector<Reading> out(results.size());
        for (std::size_t i = 0; i < results.size(); ++i) {
            out[i].address = i < addresses.size() ? addresses[i] : std::string();
            out[i].status = results[i].status;
            out[i].positions = std::move(results[i].value);
        }
        return out;
    }

private:
    std::shared_ptr<td::Client> client_;
    bool discovered_ = false;
};

// The legacy client of a typed one: shares its registry and keeps it alive.
std::shared_ptr<QmHand::DexHand> legacy_of(std::shared_ptr<td::Client> client) {
    QmHand::DexHand* legacy = &client->legacy();
    return std::shared_ptr<QmHand::DexHand>(client, legacy);
}

constexpr const char* kModuleDoc = R"(Client for dexterous robot hands on the 192.168.137.0/24 subnet.

    import tessaro_dexhand

    with tessaro_dexhand.DexHand() as hands:      # discovers the hands
        for hand in hands:
            print(hand.address, hand.kind, hands.positions(hand.address))

DexHand is the typed client: reads return numpy arrays, and a call that did
not do what it was asked raises a DexHandError subclass (HandTimeout,
HandFailure, NotServed, UnknownHand, InvalidArgument) that carries the Status.
The many-hands calls (many_positions, all_positions, set_many_positions,
calibrate_many) raise nothing for one hand's failure: they give a Status per
hand. kinds() tells each hand kind's joints, ranges and served operations.

LegacyDexHand is the integer client of earlier releases (statuses 0 SUCCESS,
-1 FAILURE, -2 TIMEOUT); DexHand.legacy gives one on the same hands.

Every call releases the GIL while it waits on a hand. The library's diagnostic
lines go to the logger "tessaro_dexhand" (trace as DEBUG, info as INFO,
warning as WARNING, error as ERROR).)";

constexpr const char* kDexHandDoc = R"(The typed client of the hands on the subnet.

    with DexHand() as hands:     # discover() on entry, close() on exit
        ...

    hands = DexHand()            # nothing on the network yet
    hands.discover()             # one second of listening
    ...
    hands.close()

Every hand is named by its IPv4 address text. A call that did not do what it
was asked raises a DexHandError subclass; nothing is sent for NotServed,
UnknownHand and InvalidArgument. Calls for different hands may run at once on
different threads; calls for one hand queue. discover() must overlap no other
call. Iterating gives the registered hands (HandInfo); len() counts them.)";

constexpr const char* kLegacyDoc = R"(The integer client of earlier releases (kept for existing code).

Every hand is named by its IPv4 address text. Commands return 0 (SUCCESS),
-1 (FAILURE) or -2 (TIMEOUT); reads return an empty result on failure.
DexHand.legacy gives one on a DexHand's hands; LegacyDexHand() makes one of
its own. Calls on different hands may run on different threads; init must not
overlap any other call.)";

// Names of LegacyDexHand that a DexHand does not have: a hint instead of a bare AttributeError.
bool is_legacy_name(const std::string& name) {
    static const char* const names[] = {"init",           "get_ip_list",     "isValidIP",        "get_name",
                                        "get_type",       "get_driver_ver",  "get_hardware_ver", "set_pos",
                                        "fast_set_pos",   "get_pos",         "get_errorcode",    "clear_errorcode",
                                        "set_hand_config", "get_hand_config", "get_ts_matrix",   "get_pvc",
                                        "calibration",    "calibrationThread"};
    for (const char* legacy : names) {
        if (name == legacy) {
            return true;
        }
    }
    return false;
}

void bind_values(py::module_& m) {
    py::class_<td::KindInfo>(m, "KindInfo",
                             "What the library knows about one kind of hand (from kinds(), find_kind() or\n"
                             "HandInfo.kind_info). Read these facts instead of keeping tables of your own.")
        .def_readonly("name", &td::KindInfo::name, "The discovery name (\"qmhv1\", \"qmhv2\", \"QSH\").")
        .def_readonly("types", &td::KindInfo::types, "The discovery types the library registers; empty: any type.")
        .def_readonly("joints", &td::KindInfo::joints, "Joints, and values a position command takes.")
        .def_readonly("joint_names", &td::KindInfo::joint_names,
                      "One name per joint, in the order of the position arrays.")
        .def_readonly("position_unit", &td::KindInfo::position_unit,
                      "The unit of a position value (\"fraction\" of the joint's travel, or \"degree\").")
        .def_readonly("position_min", &td::KindInfo::position_min, "The lowest position a command may ask for.")
        .def_readonly("position_max", &td::KindInfo::position_max, "The highest position a command may ask for.")
        .def_readonly("hold_value", &td::KindInfo::hold_value,
                      "The value that leaves a joint where it is, allowed in any command.")
        .def_property_readonly(
            "operations",
            [](const td::KindInfo& kind) {
                py::list out;
                for (const td::Operation operation : kind.operations) {
                    out.append(to_python(operation));
                }
                return out;
            },
            "The operations this kind serves (list of Operation).")
        .def_readonly("tactile_row_bytes", &td::KindInfo::tactile_row_bytes,
                      "Bytes in one row of the tactile matrix; 0 when the kind has none.")
        .def_property_readonly("has_tactile", &td::KindInfo::has_tactile, "True when the kind has a tactile matrix.")
        .def(
            "serves", [](const td::KindInfo& kind, const py::object& operation) {
                return kind.serves(operation_of(operation));
            },
            py::arg("operation"), "True when a hand of this kind serves the operation (an Operation).")
        .def("check_positions", &td::KindInfo::check_positions, py::arg("positions"),
             "Why these positions may not be sent to a hand of this kind, or \"\" when they may: one\n"
             "finite value per joint within [position_min, position_max], or hold_value.")
        .def("__repr__", [](const td::KindInfo& kind) {
            return "<KindInfo " + kind.name + ": " + std::to_string(kind.joints) + " joints>";
        });

    m.def(
        "kinds", []() {
            py::list out;
            for (const td::KindInfo& kind : td::kinds()) {
                out.append(py::cast(&kind, py::return_value_policy::reference));
            }
            return out;
        },
        "Every kind of hand the library serves (list of KindInfo), in a fixed order.");
    m.def(
        "find_kind", [](const std::string& name) { return td::find_kind(name); }, py::arg("name"),
        py::return_value_policy::reference, "The KindInfo with this discovery name, or None.");
    m.def(
        "status_text", [](const py::object& status) -> std::string {
            if (py::isinstance(status, classes->status)) {
                return td::to_text(static_cast<td::Status>(status.attr("value").cast<int>()));
            }
            return BaseHandProtocol::status_text(status.cast<int>());
        },
        py::arg("status"),
        "A short text for a Status (\"ok\", \"failed\", \"timed out\", \"not served by this hand kind\",\n"
        "\"no such hand\", \"invalid argument\"), or for a legacy integer status (\"success\", \"failure\",\n"
        "\"timeout\", \"unknown status\").");

    py::class_<td::HandInfo>(m, "HandInfo", "What a hand said about itself at discovery.")
        .def_readonly("address", &td::HandInfo::address, "Its IPv4 address; the name every call takes.")
        .def_readonly("kind", &td::HandInfo::kind, "Its kind's discovery name (see kind_info).")
        .def_property_readonly(
            "type", [](const td::HandInfo& h) { return HandText{h.type}; }, "Its discovery type (\"QMH-12R\", ...).")
        .def_property_readonly(
            "driver_version", [](const td::HandInfo& h) { return HandText{h.driver_version}; },
            "The driver version text from discovery.")
        .def_property_readonly(
            "hardware_version", [](const td::HandInfo& h) { return HandText{h.hardware_version}; },
            "The hardware version text from discovery.")
        .def_property_readonly(
            "serial_number", [](const td::HandInfo& h) { return HandText{h.serial_number}; },
            "The serial number from discovery; \"\" when the hand sent none.")
        .def_property_readonly("kind_info", &td::HandInfo::kind_info, py::return_value_policy::reference,
                               "The facts of its kind (KindInfo).")
        .def("__repr__", [](const td::HandInfo& h) { return "<HandInfo " + h.kind + " at " + h.address + ">"; });

    py::class_<td::SkippedDevice>(m, "SkippedDevice", "A device that answered discovery but was not registered.")
        .def_readonly("address", &td::SkippedDevice::address, "The address it gave.")
        .def_property_readonly(
            "kind", [](const td::SkippedDevice& d) { return HandText{d.kind}; }, "The discovery name it gave.")
        .def_property_readonly(
            "type", [](const td::SkippedDevice& d) { return HandText{d.type}; }, "The discovery type it gave.")
        .def_property_readonly(
            "reason", [](const td::SkippedDevice& d) { return HandText{d.reason}; }, "Why it was not registered.")
        .def("__repr__", [](const td::SkippedDevice& d) { return "<SkippedDevice at " + d.address + ">"; });

    py::class_<td::HandState>(m, "HandState",
                              "One reading of a hand, each part with its own status: a part not read (not asked\n"
                              "for, or not served by the kind) is Status.NOT_SERVED, and holds an empty value\n"
                              "unless its status is Status.OK.")
        .def_readonly("address", &td::HandState::address, "The hand's address.")
        .def_property_readonly(
            "stamp", [](const td::HandState& s) { return seconds_since_epoch(s.stamp); },
            "When the reading ended, in seconds since the epoch (as time.time()).")
        .def_property_readonly(
            "positions", [](const td::HandState& s) { return float_array(s.positions); },
            "Joint positions (float32 array) in the kind's position_unit.")
        .def_property_readonly(
            "velocities", [](const td::HandState& s) { return float_array(s.velocities); },
            "Joint velocities (float32 array), as the hand reports them.")
        .def_property_readonly(
            "currents", [](const td::HandState& s) { return float_array(s.currents); },
            "Joint currents (float32 array), as the hand reports them.")
        .def_property_readonly(
            "error_codes", [](const td::HandState& s) { return long_list(s.error_codes); },
            "The hand's error codes (list of int).")
        .def_property_readonly(
            "positions_status", [](const td::HandState& s) { return to_python(s.positions_status); },
            "The outcome of the position read.")
        .def_property_readonly(
            "velocities_status", [](const td::HandState& s) { return to_python(s.velocities_status); },
            "The outcome of the velocity read.")
        .def_property_readonly(
            "currents_status", [](const td::HandState& s) { return to_python(s.currents_status); },
            "The outcome of the current read.")
        .def_property_readonly(
            "error_codes_status", [](const td::HandState& s) { return to_python(s.error_codes_status); },
            "The outcome of the error-code read.")
        .def("__repr__", [](const td::HandState& s) { return "<HandState of " + s.address + ">"; });

    py::class_<Progress>(m, "CalibrationProgress", "Where a calibration stands, as passed to a progress callback.")
        .def_property_readonly(
            "address", [](const Progress& p) { return p.at.address; }, "The hand being calibrated.")
        .def_property_readonly(
            "elapsed", [](const Progress& p) { return p.at.elapsed.count(); },
            "Seconds since the calibration command was sent.")
        .def_property_readonly(
            "finished", [](const Progress& p) { return p.at.finished; },
            "True once the hand reported the outcome or the calibration gave up.")
        .def_property_readonly(
            "status", [](const Progress& p) { return to_python(p.at.status); },
            "The outcome once finished: OK, FAILED (the hand reported a failed calibration) or TIMEOUT;\n"
            "OK while running.")
        .def("__repr__", [](const Progress& p) {
            return "<CalibrationProgress " + p.at.address + (p.at.finished ? " finished>" : " running>");
        });

    py::class_<Reading>(m, "Reading",
                        "One hand's result in a many-hands position read: a status instead of an exception.")
        .def_readonly("address", &Reading::address, "The hand's address, as asked for.")
        .def_property_readonly(
            "status", [](const Reading& r) { return to_python(r.status); }, "What the read did.")
        .def_property_readonly(
            "positions",
            [](const Reading& r) -> py::object {
                if (r.status != td::Status::ok) {
                    return py::none();
                }
                return float_array(r.positions);
            },
            "Joint positions (float32 array) when status is Status.OK, else None.")
        .def_property_readonly(
            "ok", [](const Reading& r) { return r.status == td::Status::ok; }, "True when status is Status.OK.")
        .def("__repr__", [](const Reading& r) {
            return "<Reading " + r.address + ": " + td::to_text(r.status) + ">";
        });
}

void bind_dexhand(py::module_& m) {
    using Floats = std::vector<float>;
    py::class_<PyDexHand>(m, "DexHand", kDexHandDoc)
        .def(py::init<>(), "A client that knows no hand yet; nothing goes on the network until discover().")
        .def("discover", &PyDexHand::discover,
             "Broadcasts one discovery request, listens for one second and registers every hand it can\n"
             "serve; returns the registered hands (list of HandInfo). Raises HandTimeout when no hand\n"
             "answered and HandFailure when none could be registered or a registration failed (the hands\n"
             "registered before it stay usable). Devices left out are listed by skipped().")
        .def(
            "hands", [](const PyDexHand& self) { return self.client()->hands(); },
            "The registered hands (list of HandInfo), in registration order.")
        .def(
            "skipped", [](const PyDexHand& self) { return self.client()->skipped(); },
            "The devices the last discover() left out (list of SkippedDevice).")
        .def(
            "hand",
            [](const PyDexHand& self, const std::string& address) {
                auto result = self.client()->hand(address);
                check(result.status, address, "hand");
                return result.value;
            },
            py::arg("address"), "The registered hand at this address (HandInfo); raises UnknownHand.")
        .def(
            "kind_of",
            [](const PyDexHand& self, const std::string& address) {
                const td::KindInfo* kind = self.client()->kind_of(address);
                if (kind == nullptr) {
                    raise(td::Status::unknown_hand, address, "kind of");
                }
                return kind;
            },
            py::arg("address"), py::return_value_policy::reference,
            "The facts of a registered hand's kind (KindInfo); raises UnknownHand.")
        .def(
            "__iter__", [](const PyDexHand& self) { return py::iter(py::cast(self.client()->hands())); },
            "Iterates over the registered hands (HandInfo).")
        .def(
            "__len__", [](const PyDexHand& self) { return self.client()->hands().size(); },
            "The number of registered hands.")
        .def(
            "positions",
            [](PyDexHand& self, const std::string& address) {
                return float_array(self.read<Floats>(address, "read positions",
                                                     [](td::Client& c, const std::string& a) { return c.positions(a); }));
            },
            py::arg("address"), "Reads the joint positions (float32 array) in the kind's position_unit.")
        .def(
            "velocities",
            [](PyDexHand& self, const std::string& address) {
                return float_array(self.read<Floats>(
                    address, "read velocities", [](td::Client& c, const std::string& a) { return c.velocities(a); }));
            },
            py::arg("address"), "Reads the joint velocities (float32 array), as the hand reports them.")
        .def(
            "currents",
            [](PyDexHand& self, const std::string& address) {
                return float_array(self.read<Floats>(address, "read currents",
                                                     [](td::Client& c, const std::string& a) { return c.currents(a); }));
            },
            py::arg("address"), "Reads the joint currents (float32 array), as the hand reports them.")
        .def(
            "error_codes",
            [](PyDexHand& self, const std::string& address) {
                return long_list(self.read<std::vector<long>>(
                    address, "read error codes", [](td::Client& c, const std::string& a) { return c.error_codes(a); }));
            },
            py::arg("address"), "Reads the hand's error codes (list of int).")
        .def(
            "tactile",
            [](PyDexHand& self, const std::string& address) {
                auto rows = self.read<std::vector<std::vector<unsigned char>>>(
                    address, "read tactile matrix", [](td::Client& c, const std::string& a) { return c.tactile(a); });
                const td::KindInfo* kind = self.client()->kind_of(address);
                return tactile_array(rows, kind != nullptr ? kind->tactile_row_bytes : 0, address);
            },
            py::arg("address"),
            "Reads the tactile matrix: a 2-D uint8 array of the hand's rows by the kind's tactile_row_bytes.")
        .def(
            "config",
            [](PyDexHand& self, const std::string& address) {
                return HandText{self.read<std::string>(
                    address, "read configuration", [](td::Client& c, const std::string& a) { return c.config(a); })};
            },
            py::arg("address"), "Reads the hand's configuration (JSON text).")
        .def(
            "state",
            [](PyDexHand& self, const std::string& address, const py::object& parts) {
                auto c = self.client();
                const unsigned mask = parts.cast<unsigned>();
                td::HandState state;
                {
                    py::gil_scoped_release release;
                    state = c->state(address, mask);
                }
                // Nothing read at all: the address itself was the problem.
                if (state.positions_status == td::Status::unknown_hand ||
                    state.positions_status == td::Status::invalid_argument) {
                    raise(state.positions_status, address, "read state");
                }
                return state;
            },
            py::arg("address"), py::arg("parts") = classes->parts.attr("ALL"),
            "Reads the parts asked for (StateParts, default all) under one hold of the hand, each with\n"
            "its own status: a part that failed does not raise. Raises UnknownHand or InvalidArgument\n"
            "for an address that names no registered hand.")
        .def(
            "set_positions",
            [](PyDexHand& self, const std::string& address, const Floats& positions) {
                self.move(address, positions, "set positions",
                          [&](td::Client& c) { return c.set_positions(address, positions); });
            },
            py::arg("address"), py::arg("positions"),
            "Commands joint targets (one per joint, in the kind's position_unit; hold_value leaves a joint\n"
            "where it is). Values outside the kind's range raise InvalidArgument and send nothing.")
        .def(
            "fast_set_positions",
            [](PyDexHand& self, const std::string& address, const Floats& positions) {
                self.move(address, positions, "fast set positions",
                          [&](td::Client& c) { return c.fast_set_positions(address, positions); });
            },
            py::arg("address"), py::arg("positions"),
            "As set_positions, through the kind's fast position command.")
        .def(
            "enable",
            [](PyDexHand& self, const std::string& address) {
                self.command(address, "enable", [&](td::Client& c) { return c.enable(address); });
            },
            py::arg("address"), "Enables the hand's motors.")
        .def(
            "disable",
            [](PyDexHand& self, const std::string& address) {
                self.command(address, "disable", [&](td::Client& c) { return c.disable(address); });
            },
            py::arg("address"), "Disables the hand's motors.")
        .def(
            "reboot",
            [](PyDexHand& self, const std::string& address) {
                self.command(address, "reboot", [&](td::Client& c) { return c.reboot(address); });
            },
            py::arg("address"), "Restarts the hand.")
        .def(
            "clear_error_codes",
            [](PyDexHand& self, const std::string& address) {
                self.command(address, "clear error codes", [&](td::Client& c) { return c.clear_error_codes(address); });
            },
            py::arg("address"), "Clears the hand's error codes.")
        .def(
            "set_config",
            [](PyDexHand& self, const std::string& address, const std::string& config) {
                self.command(address, "write configuration",
                             [&](td::Client& c) { return c.set_config(address, config); });
            },
            py::arg("address"), py::arg("config"), "Writes configuration items (JSON object text).")
        .def(
            "calibrate",
            [](PyDexHand& self, const std::string& address, const py::object& progress) {
                const td::Status status = self.calibrate(progress, [&](td::Client& c, const td::CalibrationCallback& f) {
                    return c.calibrate(address, f);
                });
                check(status, address, "calibrate");
            },
            py::arg("address"), py::arg("progress") = py::none(),
            "Runs the hand's calibration and waits for its outcome: raises HandFailure when the hand\n"
            "reported a failed calibration and HandTimeout when it never finished. progress, when given,\n"
            "is called with a CalibrationProgress about every 100 ms and once at the end, from another\n"
            "thread; an exception it raises stops further calls and is raised once the calibration ends.")
        .def(
            "calibrate_many",
            [](PyDexHand& self, const std::vector<std::string>& addresses, const py::object& progress) {
                const auto statuses = self.calibrate(
                    progress, [&](td::Client& c, const td::CalibrationCallback& f) { return c.calibrate(addresses, f); });
                py::list out;
                for (const td::Status status : statuses) {
                    out.append(to_python(status));
                }
                return out;
            },
            py::arg("addresses"), py::arg("progress") = py::none(),
            "Calibrates these hands in parallel; returns one Status per address, in order, and raises\n"
            "nothing for a hand's failure. progress as for calibrate().")
        .def(
            "many_positions",
            [](PyDexHand& self, const std::vector<std::string>& addresses) {
                auto c = self.client();
                std::vector<td::Result<Floats>> results;
                {
                    py::gil_scoped_release release;
                    results = c->positions(addresses);
                }
                return self.readings(addresses, std::move(results));
            },
            py::arg("addresses"),
            "Reads the positions of these hands in one round trip (all requests out, then one wait).\n"
            "Returns one Reading per address, in order; a hand's failure is its Reading's status.")
        .def(
            "all_positions",
            [](PyDexHand& self) {
                auto c = self.client();
                std::vector<td::Result<Floats>> results;
                std::vector<std::string> addresses;
                {
                    py::gil_scoped_release release;
                    for (const auto& hand : c->hands()) {
                        addresses.push_back(hand.address);
                    }
                    results = c->all_positions();
                }
                return self.readings(addresses, std::move(results));
            },
            "many_positions() over every registered hand, in registration order.")
        .def(
            "set_many_positions",
            [](PyDexHand& self, const std::vector<std::string>& addresses, const std::vector<Floats>& positions) {
                auto c = self.client();
                std::vector<td::Status> statuses;
                {
                    py::gil_scoped_release release;
                    statuses = c->set_positions(addresses, positions);
                }
                py::list out;
                for (const td::Status status : statuses) {
                    out.append(to_python(status));
                }
                return out;
            },
            py::arg("addresses"), py::arg("positions"),
            "Commands positions[i] to addresses[i] for every i in one round trip; returns one Status per\n"
            "address, in order, and raises nothing for a hand's failure. A list refused by the hand's kind\n"
            "(or missing) is Status.INVALID_ARGUMENT and nothing is sent to that hand.")
        .def_property_readonly(
            "legacy", [](const PyDexHand& self) { return legacy_of(self.client()); },
            "The integer client (LegacyDexHand) on the same hands and registry, for code written against\n"
            "earlier releases. It keeps the hands open after close() until it is gone itself.")
        .def("close", &PyDexHand::close,
             "Closes the hands' endpoints (once no call in flight and no legacy client holds them); later\n"
             "calls raise ValueError. Closing twice is harmless.")
        .def_property_readonly("closed", &PyDexHand::closed, "True after close().")
        .def(
            "__enter__",
            [](py::object self) {
                PyDexHand& hands = self.cast<PyDexHand&>();
                if (!hands.discovered()) {
                    try {
                        hands.discover();
                    } catch (...) {
                        hands.close();  // __exit__ will not run
                        throw;
                    }
                }
                return self;
            },
            "Runs discover() unless it has run already, and gives the DexHand; closes it when discovery\n"
            "raises.")
        .def(
            "__exit__",
            [](PyDexHand& self, const py::object&, const py::object&, const py::object&) {
                self.close();
                return false;
            },
            py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"), "Closes the DexHand.")
        .def(
            "__getattr__",
            [](const PyDexHand&, const std::string& name) -> py::object {
                std::string message = "'DexHand' object has no attribute '" + name + "'";
                if (is_legacy_name(name)) {
                    message += "; the integer call " + name +
                               " is on LegacyDexHand (tessaro_dexhand.LegacyDexHand(), or DexHand().legacy)";
                }
                throw py::attribute_error(message);
            },
            py::arg("name"), "Points code written for earlier releases to LegacyDexHand.")
        .def("__repr__", [](const PyDexHand& self) {
            if (self.closed()) {
                return std::string("<DexHand closed>");
            }
            return "<DexHand with " + std::to_string(self.client()->hands().size()) + " hand(s)>";
        });
}

void bind_legacy(py::module_& m) {
    m.attr("SUCCESS") = static_cast<int>(QmHand::kSuccess);
    m.attr("FAILURE") = static_cast<int>(QmHand::kFailure);
    m.attr("TIMEOUT") = static_cast<int>(QmHand::kTimeout);

    py::class_<QmHand::DexHand, std::shared_ptr<QmHand::DexHand>>(m, "LegacyDexHand", kLegacyDoc)
        .def(py::init([]() { return legacy_of(std::make_shared<td::Client>()); }),
             "An empty client; nothing goes on the network until init().")
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
            py::arg("ip"), Release(), "The hand's discovery type; \"\" when unknown.")
        .def(
            "get_driver_ver",
            [](QmHand::DexHand& c, std::string ip) { return HandText{c.get_driver_ver(std::move(ip))}; },
            py::arg("ip"), Release(), "The driver version text from discovery; \"\" when unknown.")
        .def(
            "get_hardware_ver",
            [](QmHand::DexHand& c, std::string ip) { return HandText{c.get_hardware_ver(std::move(ip))}; },
            py::arg("ip"), Release(), "The hardware version text from discovery; \"\" when unknown.")
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
             "Commands joint positions (list of float, one per joint): 0, -1 or -2.")
        .def("fast_set_pos", &QmHand::DexHand::fast_set_pos, py::arg("ip"), py::arg("pos"), Release(),
             "Commands joint positions without waiting for an answer where the hand kind allows it: 0, -1 or -2.")
        .def("get_pos", &QmHand::DexHand::get_pos, py::arg("ip"), Release(),
             "Joint positions (list of float); [] when the read failed.")
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
            py::arg("ip"), Release(), "The tactile matrix: a list of bytes rows; [] when the hand has none or the read failed.")
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
            "\"timeout\".");
}

}  // namespace

PYBIND11_MODULE(_tessaro_dexhand, m) {
    m.doc() = kModuleDoc;
    py::module_::import("numpy");  // fail at import, not at the first read, without it

    make_classes(m);
    bind_values(m);
    bind_dexhand(m);
    bind_legacy(m);
    install_log_handler();
}
