#pragma once

// Standard error belongs to the people at the terminal: the library's lines
// (through the diagnostics handler), the tool's own messages and a progress
// line that is redrawn in place. One lock keeps them from cutting into each
// other when calibration workers print. Standard output carries results only.

#include <mutex>
#include <string>
#include <string_view>

#include "tessaro_dexhand/log.h"

namespace dexhand_cli {

enum class Verbosity {
    quiet,    // no library lines, no progress
    normal,   // library warnings and errors, as the library words them
    verbose,  // every library line, prefixed with its level
};

class Console {
public:
    explicit Console(Verbosity verbosity);
    // Puts the library's default handler back.
    ~Console();

    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Routes the library's lines here; before any hand operation.
    void install();

    // The one message of a failing command; printed even when quiet.
    void error(const std::string& text);
    // A remark for the reader (skipped when quiet).
    void note(const std::string& text);
    // Redraws the progress line on a terminal; elsewhere the first text of a
    // run is written once as a line, so logs still show what was waited for.
    void progress(const std::string& text);
    void end_progress();

    bool terminal() const { return terminal_; }

    // The text with its ANSI escape sequences removed.
    static std::string plain(std::string_view text);

private:
    void library_line(tessaro_dexhand::LogLevel level, std::string_view text);
    void write_line_locked(std::string_view text);

    std::mutex mutex_;
    const Verbosity verbosity_;
    const bool terminal_;
    bool progress_shown_ = false;   // a progress line stands on the terminal now
    bool progress_logged_ = false;  // the first text went out as a line
};

}  // namespace dexhand_cli
