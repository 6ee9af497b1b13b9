// Compact JSON for view results: no whitespace, object keys sorted by code
// point, every non-ASCII character escaped, so the output is pure ASCII.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

namespace kiv {

// Deepest nesting accepted; the value handed in sits at depth 0.
inline constexpr unsigned kJsonMaxDepth = 200;

// Appends the JSON form of value to buf. On failure returns the error text
// (the Python error indicator is left clear) and buf holds partial output that
// the caller must discard. The caller holds the interpreter lock.
std::optional<std::string> write_value(PyObject* value, std::string& buf, unsigned depth);

// Appends a JSON string literal for UTF-8 text. Invalid UTF-8 sequences are
// written as U+FFFD rather than passed through.
void write_string(std::string_view utf8, std::string& buf);

// Appends the textual form of a double: NaN, Infinity, -Infinity, "3.0" for
// integral values below 1e16, exponent form ("1e+16", "1.5e-5") at the
// extremes, and the shortest round-trip decimal otherwise.
void write_float(double x, std::string& buf);

}  // namespace kiv
