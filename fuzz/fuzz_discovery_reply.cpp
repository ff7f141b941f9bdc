// Discovery replies: any datagram on the discovery port, judged as the
// manager judges it. The verdict must equal the rule worked out here member by
// member, a refused reply must leave the output alone, and an accepted one
// must carry exactly the members it holds.

#include <cstdint>
#include <cstring>
#include <optional>

#include "fuzz_check.h"
#include "manager/discovery.h"

using hand_ws::discovery::Outcome;
using hand_ws::discovery::Reply;

namespace {

bool same(const Reply& a, const Reply& b) {
    return a.name == b.name && a.type == b.type && a.ip_addresses == b.ip_addresses &&
           a.serial_number == b.serial_number && a.driver_versions == b.driver_versions &&
           a.hardware_versions == b.hardware_versions;
}

std::optional<std::string> string_of(const rapidjson::Value& object, const char* key) {
    const rapidjson::Value* value = fuzz::first_member(object, key);
    if (value == nullptr || !value->IsString()) {
        return std::nullopt;
    }
    return std::string(value->GetString(), value->GetStringLength());
}

// A version array: nullopt when absent or not an array, "" (never a real
// version text) when an element is not an unsigned 32-bit integer.
std::optional<std::string> version_of(const rapidjson::Value& object, const char* key) {
    const rapidjson::Value* value = fuzz::first_member(object, key);
    if (value == nullptr || !value->IsArray()) {
        return std::nullopt;
    }
    unsigned parts[4] = {0, 0, 0, 0};
    for (rapidjson::SizeType i = 0; i < value->Size(); ++i) {
        const rapidjson::Value& element = (*value)[i];
        if (!element.IsUint()) {
            return std::string();
        }
        if (i < 4) {
            parts[i] = element.GetUint();
        }
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
    return std::string(text);
}

Outcome expected(std::string_view text, Reply& reply) {
    rapidjson::Document document;
    if (!fuzz::parse_json(text, document)) {
        return Outcome::ParseError;
    }
    if (!document.IsObject()) {
        return Outcome::Malformed;
    }
    const std::optional<std::string> name = string_of(document, "name");
    if (!name) {
        return Outcome::NoName;
    }
    if (*name != "QSH" && *name != "qmhv1" && *name != "qmhv2") {
        return Outcome::UnknownName;
    }
    const std::optional<std::string> firmware = version_of(document, "firmware_verison");
    const std::optional<std::string> hardware = version_of(document, "hardware_verison");
    if ((firmware && firmware->empty()) || (hardware && hardware->empty())) {
        return Outcome::Malformed;
    }
    reply.name = *name;
    reply.type = string_of(document, "type");
    for (const char* key : {"IP", "ip_address"}) {
        if (auto ip = string_of(document, key)) {
            reply.ip_addresses.push_back(*ip);
        }
    }
    reply.serial_number = string_of(document, "serial_number");
    if (auto version = string_of(document, "driver_version")) {
        reply.driver_versions.push_back(*version);
    }
    if (hardware) {
        reply.driver_versions.push_back(*hardware);
    }
    if (firmware) {
        reply.hardware_versions.push_back(*firmware);
    }
    if (auto version = string_of(document, "firmware_version")) {
        reply.hardware_versions.push_back(*version);
    }
    return Outcome::Accepted;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::keep_lines();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // As discovery reads a datagram: at most 512 bytes into a zeroed buffer
    // of 1024, taken up to the first NUL.
    char buffer[1024] = {};
    std::memcpy(buffer, data, size < hand_ws::discovery::kReplyLimit ? size : hand_ws::discovery::kReplyLimit);
    const std::string_view text(buffer, std::strlen(buffer));

    Reply untouched;
    untouched.name = "untouched";
    untouched.ip_addresses = {"0.0.0.0"};
    untouched.driver_versions = {"9"};
    Reply reply = untouched;

    Reply wanted;
    const Outcome outcome = hand_ws::discovery::parse_reply(buffer, reply);
    FUZZ_CHECK(outcome == expected(text, wanted));
    if (outcome != Outcome::Accepted) {
        FUZZ_CHECK(same(reply, untouched));
        return 0;
    }
    FUZZ_CHECK(same(reply, wanted));
    // Never more entries than the reply has keys for, nor longer than it.
    FUZZ_CHECK(reply.ip_addresses.size() <= 2 && reply.driver_versions.size() <= 2 &&
               reply.hardware_versions.size() <= 2);
    for (const std::string& ip : reply.ip_addresses) {
        FUZZ_CHECK(ip.size() < text.size());
    }
    return 0;
}
