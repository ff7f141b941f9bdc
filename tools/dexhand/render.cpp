#include "render.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace dexhand_cli {

void write_float(JsonWriter& writer, float value) {
    if (!std::isfinite(value)) {
        writer.Null();
        return;
    }
    char text[32];
    const auto result = std::to_chars(text, text + sizeof(text), value);
    writer.RawValue(text, static_cast<std::size_t>(result.ptr - text), rapidjson::kNumberType);
}

void write_floats(JsonWriter& writer, const std::vector<float>& values) {
    writer.StartArray();
    for (float value : values) {
        write_float(writer, value);
    }
    writer.EndArray();
}

void write_matrix(JsonWriter& writer, const Matrix& matrix) {
    writer.StartArray();
    for (const auto& row : matrix) {
        writer.StartArray();
        for (unsigned char cell : row) {
            writer.Uint(cell);
        }
        writer.EndArray();
    }
    writer.EndArray();
}

std::string format_floats(const std::vector<float>& values) {
    std::string text;
    char cell[32];
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::snprintf(cell, sizeof(cell), "%s%.3f", i == 0 ? "" : "  ", static_cast<double>(values[i]));
        text += cell;
    }
    return text;
}

std::string table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], row[c].size());
        }
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) {
                line.append(widths[c] - row[c].size() + 2, ' ');
            }
        }
        text += line + "\n";
    }
    return text;
}

namespace {

constexpr const char kRamp[] = " .:-=+*#%@";
constexpr int kRampSteps = sizeof(kRamp) - 1;
constexpr std::size_t kCellsPerLine = 48;

// A cold-to-hot run through the 256-colour palette: dark blue, cyan, green,
// yellow, red.
constexpr int kHeat[] = {17, 18, 19, 20, 21, 27, 33, 39, 45, 51, 49, 48, 47, 46, 82, 118, 154, 190, 226, 220, 214, 208, 202, 196};
constexpr int kHeatSteps = sizeof(kHeat) / sizeof(kHeat[0]);

char ramp_char(unsigned char value) { return kRamp[value * kRampSteps / 256]; }

// shade: the colour of the previous cell on the line (-1 at its start), so
// that a run of equal shades shares one escape sequence.
void append_cell(std::string& line, unsigned char value, bool colour, int& shade) {
    if (colour) {
        const int heat = kHeat[value * kHeatSteps / 256];
        if (heat != shade) {
            // Dark text on the hot end of the ramp, light text on the cold end.
            char escape[32];
            std::snprintf(escape, sizeof(escape), "\033[48;5;%d;38;5;%dm", heat, value >= 128 ? 16 : 231);
            line += escape;
            shade = heat;
        }
    }
    line += ramp_char(value);
}

}  // namespace

std::string tactile_grid(const Matrix& matrix, bool colour) {
    std::string text;
    unsigned minimum = 255;
    unsigned maximum = 0;
    double sum = 0;
    std::size_t cells = 0;
    char label[32];
    for (std::size_t r = 0; r < matrix.size(); ++r) {
        const auto& row = matrix[r];
        for (std::size_t start = 0; start < row.size(); start += kCellsPerLine) {
            if (start == 0) {
                std::snprintf(label, sizeof(label), "row %2zu %3zu |", r, start);
            } else {
                std::snprintf(label, sizeof(label), "       %3zu |", start);
            }
            std::string line = label;
            const std::size_t end = std::min(row.size(), start + kCellsPerLine);
            int shade = -1;
            for (std::size_t c = start; c < end; ++c) {
                append_cell(line, row[c], colour, shade);
                minimum = std::min<unsigned>(minimum, row[c]);
                maximum = std::max<unsigned>(maximum, row[c]);
                sum += row[c];
                ++cells;
            }
            if (colour) {
                line += "\033[0m";
            }
            text += line + "|\n";
        }
    }
    std::string legend = "scale  0 ";
    int shade = -1;
    for (int step = 0; step < kRampSteps; ++step) {
        append_cell(legend, static_cast<unsigned char>(step * 256 / kRampSteps + 12), colour, shade);
    }
    if (colour) {
        legend += "\033[0m";
    }
    text += legend + " 255\n";
    if (cells == 0) {
        text += "no tactile cells\n";
    } else {
        char summary[128];
        std::snprintf(summary, sizeof(summary), "%zu rows x %zu cells, min %u, max %u, mean %.1f\n", matrix.size(),
                      matrix.empty() ? std::size_t{0} : matrix.front().size(), minimum, maximum, sum / cells);
        text += summary;
    }
    return text;
}

}  // namespace dexhand_cli
