#pragma once

// One readable line per datagram for --log.

#include <string>

#include "simulator.h"

namespace dexhand_sim {

// The bytes as quoted text when they are text (control bytes escaped, a run
// of zero bytes at the end counted rather than shown), else as hex.
std::string datagram_text(const std::string& bytes);

// "HH:MM:SS.mmm qmhv2@192.168.137.39:2334 recv from 192.168.137.1:40000 30 bytes text "..."":
// time, hand and port, direction and peer, length, content.
std::string traffic_line(const std::string& clock_text, const std::string& hand, const sim::Traffic& traffic);

// The local time of day with milliseconds.
std::string clock_text();

}  // namespace dexhand_sim
