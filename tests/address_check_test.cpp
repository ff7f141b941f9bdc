// The client's address check against the regular expression it replaces,
// kept here as the oracle: both must give the same answer for every text.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "client/dexhand.h"

namespace {

bool oracle(const std::string& text) {
    static const std::regex pattern(
        "^(?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\\.){3}(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)$",
        std::regex::ECMAScript);
    return std::regex_match(text, pattern);
}

// Field texts around every boundary of the pattern: lengths 0 to 4, leading
// zeros, 199/200, 249/250, 255/256, 299/300, signs, blanks, other characters.
const std::vector<std::string> kFields = {
    "",    "0",   "00",   "000",  "0000", "1",   "01",  "001",  "0001", "9",    "09",   "099",  "10",
    "19",  "99",  "100",  "109",  "199",  "200", "201", "209",  "240",  "249",  "250",  "251",  "254",
    "255", "256", "259",  "260",  "299",  "300", "355", "999",  "1000", "2550", "0255", "-1",   "+1",
    "-0",  " 1",  "1 ",   "1\t",  "\n1",  "1\n", "a",   "1a",   "0x1",  "1e2",  "١",    "25\x35", "1.",
};

}  // namespace

TEST(AddressCheck, AgreesWithThePatternOnEveryBoundary) {
    // Dots, blanks, ends and other separators.
    std::vector<std::string> texts = {
        "", ".", "...", "1.2.3", "1.2.3.4", "1.2.3.4.", ".1.2.3.4", "1.2.3.4.5", "1..2.3", "1.2..3.4", "1.2.3.4 ",
        " 1.2.3.4", "1.2.3.4\n", "1.2.3.4\r", "1.2.3.4\t", std::string("1.2.3.4\0", 8), std::string("1.2\0.3.4", 8),
        "1,2,3,4", "1.2.3.4/24", "1.2.3.4:80", "255.255.255.255", "256.255.255.255", "0.0.0.0", "00.00.00.00",
        "000.000.000.000", "0000.0.0.0", "192.168.137.39", "192.168.137.039", "192.168.137.0039", "1.2.3.-4",
        "+1.2.3.4", "1.2.3.4a", "a1.2.3.4", "１.2.3.4"};
    // Each boundary field in every position, and every pair of them first and last.
    for (std::size_t position = 0; position < 4; ++position) {
        for (const auto& field : kFields) {
            std::string text;
            for (std::size_t i = 0; i < 4; ++i) {
                text += (i > 0 ? "." : "") + (i == position ? field : std::string("1"));
            }
            texts.push_back(text);
        }
    }
    for (const auto& first : kFields) {
        for (const auto& last : kFields) {
            texts.push_back(first + ".2.3." + last);
        }
    }
    QmHand::DexHand client;
    int accepted = 0;
    for (const auto& text : texts) {
        ASSERT_EQ(client.isValidIP(text), oracle(text)) << "text: \"" << text << "\"";
        accepted += oracle(text) ? 1 : 0;
    }
    EXPECT_GT(accepted, 100);  // the set holds many valid texts, not only refusals
}
