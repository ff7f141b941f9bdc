#pragma once

// The one way the library reads JSON that came from the network (discovery
// replies and every hand's replies), so that every path takes and refuses
// the same texts.

#include <cstring>
#include <string_view>

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>

namespace peer_json {

// True when text starts with the UTF-8 byte-order mark.
inline bool has_byte_order_mark(std::string_view text) {
    return text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0;
}

// Parses text as one strict JSON value (default flags: no comments, no
// trailing commas, nothing but white space around it). A leading byte-order
// mark is not white space and makes the text unparseable, whichever path it
// arrives on. False when the text does not parse.
template <class Document>
bool parse(std::string_view text, Document& document) {
    if (has_byte_order_mark(text)) {
        return false;
    }
    // The bytes as they came: Parse(text, length) reads through an encoding
    // stream that skips byte-order-mark bytes before the text, even a lone
    // one, which would let "\xBB{...}" through on some paths only.
    rapidjson::MemoryStream stream(text.data(), text.size());
    document.ParseStream(stream);
    return !document.HasParseError();
}

template <class Document>
bool parse(const char* text, Document& document) {
    return parse(std::string_view(text, std::strlen(text)), document);
}

}  // namespace peer_json
