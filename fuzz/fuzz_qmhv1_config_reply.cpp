// First-generation configuration texts: any datagram on port 2334 as
// get_comm_config judges it, and the same text taken apart as set_comm_config
// does. Verdicts and items must equal the rule worked out here; identity
// frames are built only from items that fit them.

#include <cstdint>

#include "fuzz_check.h"
#include "protocols/qmhv1_codec.h"

namespace codec = BaseHandProtocol::qmhv1_codec;
using codec::ConfigReply;
using codec::ItemState;

namespace {

ConfigReply expected_verdict(std::string_view text) {
    if (text.empty()) {
        return ConfigReply::Empty;
    }
    rapidjson::Document document;
    if (!fuzz::parse_json(text, document)) {
        return ConfigReply::NotJson;
    }
    if (!document.IsObject()) {
        return ConfigReply::NotObject;
    }
    const rapidjson::Value* version = fuzz::first_member(document, "hardware_verison");
    return version != nullptr && version->IsArray() ? ConfigReply::Accepted : ConfigReply::CheckFailed;
}

ItemState expected_ints(const rapidjson::Value& object, const char* key, std::vector<int>& values) {
    const rapidjson::Value* array = fuzz::first_member(object, key);
    if (array == nullptr || !array->IsArray()) {
        return ItemState::Absent;
    }
    for (rapidjson::SizeType i = 0; i < array->Size(); ++i) {
        if (!(*array)[i].IsInt()) {
            values.clear();
            return ItemState::Invalid;
        }
        values.push_back((*array)[i].GetInt());
    }
    return ItemState::Present;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::keep_lines();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::datagram_text(data, size);
    FUZZ_CHECK(codec::judge_config_reply(text) == expected_verdict(text));

    const codec::ConfigItems items = codec::parse_config(std::string(text));
    rapidjson::Document document;
    const bool parsed = fuzz::parse_json(text, document);
    FUZZ_CHECK(items.parsed == parsed);
    FUZZ_CHECK(items.object == (parsed && document.IsObject()));
    if (!items.object) {
        FUZZ_CHECK(items.sn == ItemState::Absent && items.mac == ItemState::Absent && items.ip == ItemState::Absent);
        FUZZ_CHECK(items.sn_text.empty() && items.mac_values.empty() && items.ip_values.empty());
        return 0;
    }
    const rapidjson::Value* sn = fuzz::first_member(document, "sn");
    if (sn != nullptr && sn->IsString()) {
        FUZZ_CHECK(items.sn == ItemState::Present);
        FUZZ_CHECK(items.sn_text == std::string_view(sn->GetString(), sn->GetStringLength()));
    } else {
        FUZZ_CHECK(items.sn == ItemState::Absent && items.sn_text.empty());
    }
    std::vector<int> mac;
    std::vector<int> ip;
    FUZZ_CHECK(items.mac == expected_ints(document, "mac_address", mac) && items.mac_values == mac);
    FUZZ_CHECK(items.ip == expected_ints(document, "static_ip", ip) && items.ip_values == ip);
    // Each integer takes a digit and a separator at least.
    FUZZ_CHECK(items.mac_values.size() + items.ip_values.size() <= text.size() / 2);

    // The identity frames: built whole, or not at all.
    const std::vector<unsigned char> untouched = {0xAA};
    std::vector<unsigned char> frame = untouched;
    const codec::IdentityCheck ip_check = codec::ip_frame(items.ip_values, frame);
    if (ip_check == codec::IdentityCheck::Ok) {
        FUZZ_CHECK(items.ip_values.size() <= 4 && frame.size() == 5 && frame[0] == 0x23);
        for (std::size_t i = 0; i < items.ip_values.size(); ++i) {
            FUZZ_CHECK(items.ip_values[i] >= 0 && items.ip_values[i] <= 255 && frame[i + 1] == items.ip_values[i]);
        }
    } else {
        FUZZ_CHECK(frame == untouched);
    }
    frame = untouched;
    if (codec::mac_frame(items.mac_values, frame) == codec::IdentityCheck::Ok) {
        FUZZ_CHECK(items.mac_values.size() <= 6 && frame.size() == 7 && frame[0] == 0x24);
    } else {
        FUZZ_CHECK(items.mac_values.size() > 6 && frame == untouched);
    }
    frame = untouched;
    if (codec::sn_frame(items.sn_text, frame) == codec::IdentityCheck::Ok) {
        FUZZ_CHECK(items.sn_text.size() <= 31 && frame.size() == 32 && frame[0] == 0x25);
    } else {
        FUZZ_CHECK(items.sn_text.size() > 31 && frame == untouched);
    }
    return 0;
}
