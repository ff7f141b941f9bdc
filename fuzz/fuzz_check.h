#pragma once

// What every harness shares. The library's lines are kept (the last run's
// only) instead of printed, so that a harness can check them and a run of
// millions of inputs does not flood the terminal; a broken invariant aborts
// with its text, so that libFuzzer saves the input that broke it.

#include <rapidjson/document.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "transport/diagnostics.h"

namespace fuzz {

// The lines printed since the last clear_lines().
inline std::vector<std::string>& lines() {
    static std::vector<std::string> kept;
    return kept;
}

inline void clear_lines() { lines().clear(); }

inline void keep_lines() {
    Diagnostics::set_handler([](Diagnostics::Level, Diagnostics::Stream, std::string_view text) {
        lines().emplace_back(text);
    });
}

[[noreturn]] inline void broken(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}

// A peer's datagram as an endpoint hands it over as text: at most 1024
// bytes, up to the first NUL.
inline std::string_view datagram_text(const unsigned char* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size < 1024 ? size : 1024);
    return bytes.substr(0, bytes.find('\0'));
}

// The same, every byte (binary replies).
inline std::string_view datagram_bytes(const unsigned char* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size < 1024 ? size : 1024};
}

// Strict JSON as peers must send it: the parser's default flags, over the
// bytes as they came (no byte-order mark skipped). Texts here hold no NUL.
inline bool parse_json(std::string_view text, rapidjson::Document& document) {
    document.Parse(std::string(text).c_str());
    return !document.HasParseError();
}

// The first member named key of an object, walked member by member; null when
// there is none.
inline const rapidjson::Value* first_member(const rapidjson::Value& object, std::string_view key) {
    for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
        if (std::string_view(it->name.GetString(), it->name.GetStringLength()) == key) {
            return &it->value;
        }
    }
    return nullptr;
}

}  // namespace fuzz

#define FUZZ_CHECK(condition)                                  \
    do {                                                       \
        if (!(condition)) {                                    \
            ::fuzz::broken(#condition, __FILE__, __LINE__);    \
        }                                                      \
    } while (0)
