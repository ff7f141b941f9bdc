#include "console.h"

#include <unistd.h>

#include <cstdio>

namespace dexhand_cli {

namespace td = tessaro_dexhand;

Console::Console(Verbosity verbosity) : verbosity_(verbosity), terminal_(::isatty(STDERR_FILENO) == 1) {}

Console::~Console() {
    td::set_log_handler({});
    td::set_min_log_level(td::LogLevel::trace);
}

void Console::install() {
    // The level filter runs before a line is even built into a call.
    switch (verbosity_) {
    case Verbosity::quiet:
        td::set_min_log_level(td::LogLevel::error);
        td::set_log_handler([](td::LogLevel, std::string_view) {});
        return;
    case Verbosity::normal:
        td::set_min_log_level(td::LogLevel::warning);
        break;
    case Verbosity::verbose:
        td::set_min_log_level(td::LogLevel::trace);
        break;
    }
    td::set_log_handler([this](td::LogLevel level, std::string_view text) { library_line(level, text); });
}

std::string Console::plain(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\033' && i + 1 < text.size() && text[i + 1] == '[') {
            // CSI: parameters and intermediates up to the final byte 0x40-0x7e.
            std::size_t j = i + 2;
            while (j < text.size() && !(text[j] >= 0x40 && text[j] <= 0x7e)) {
                ++j;
            }
            i = j;
            continue;
        }
        out += text[i];
    }
    return out;
}

void Console::library_line(td::LogLevel level, std::string_view text) {
    std::string line;
    if (verbosity_ == Verbosity::verbose) {
        line = std::string("[") + td::to_text(level) + "] ";
    }
    line += terminal_ ? std::string(text) : plain(text);
    std::lock_guard<std::mutex> lock(mutex_);
    write_line_locked(line);
}

void Console::write_line_locked(std::string_view text) {
    if (progress_shown_) {
        std::fputs("\r\033[K", stderr);
        progress_shown_ = false;
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void Console::error(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    write_line_locked("dexhand: " + text);
}

void Console::note(const std::string& text) {
    if (verbosity_ == Verbosity::quiet) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    write_line_locked(text);
}

void Console::progress(const std::string& text) {
    if (verbosity_ == Verbosity::quiet) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!terminal_) {
        if (!progress_logged_) {
            write_line_locked(text);
            progress_logged_ = true;
        }
        return;
    }
    std::fputs("\r\033[K", stderr);
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    progress_shown_ = true;
}

void Console::end_progress() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (progress_shown_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        progress_shown_ = false;
    }
    progress_logged_ = false;
}

}  // namespace dexhand_cli
