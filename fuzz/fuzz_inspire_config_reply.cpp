// Inspire configuration replies: any datagram on port 2334 as the
// configuration exchanges judge it. The verdict must equal the rule worked
// out here: an object whose first "reqTarget" is the string "/config".

#include <cstdint>

#include "fuzz_check.h"
#include "protocols/inspire_codec.h"

using BaseHandProtocol::inspire_codec::ConfigReply;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::keep_lines();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::datagram_text(data, size);
    rapidjson::Document document;
    ConfigReply wanted = ConfigReply::NotJson;
    if (fuzz::parse_json(text, document)) {
        const rapidjson::Value* target = document.IsObject() ? fuzz::first_member(document, "reqTarget") : nullptr;
        if (target == nullptr || !target->IsString()) {
            wanted = ConfigReply::NoTarget;
        } else {
            wanted = std::string_view(target->GetString(), target->GetStringLength()) == "/config"
                         ? ConfigReply::Config
                         : ConfigReply::OtherTarget;
        }
    }
    FUZZ_CHECK(BaseHandProtocol::inspire_codec::judge_config_reply(text) == wanted);
    return 0;
}
