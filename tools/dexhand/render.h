#pragma once

// How results look: JSON through RapidJSON's Writer for programs, aligned
// text and a shaded tactile grid for people.

#include <string>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace dexhand_cli {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;
using Matrix = std::vector<std::vector<unsigned char>>;

// The shortest text that reads back as the same float (0.1f is written 0.1,
// not as its double widening); null for NaN and infinities, which JSON lacks.
void write_float(JsonWriter& writer, float value);
void write_floats(JsonWriter& writer, const std::vector<float>& values);
void write_matrix(JsonWriter& writer, const Matrix& matrix);

// Values with three decimals, separated by two blanks.
std::string format_floats(const std::vector<float>& values);

// Columns padded to their widest cell; the first row is the heading.
std::string table(const std::vector<std::vector<std::string>>& rows);

// The tactile matrix as lines of 48 cells (two lines per row of 96), one
// character per cell from a ramp of ten, on an ANSI background that shades
// the value when colour is on; then a legend and a summary line.
std::string tactile_grid(const Matrix& matrix, bool colour);

}  // namespace dexhand_cli
