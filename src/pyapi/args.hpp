// Argument conversion for Server methods. Each returns false with a Python
// exception set; a plain TypeError is re-raised as "argument '<name>': ...".
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kiv {

bool arg_str(PyObject* obj, const char* name, std::string& out);
bool arg_str_list(PyObject* obj, const char* name, std::vector<std::string>& out);
bool arg_bool(PyObject* obj, const char* name, bool& out);
bool arg_u64(PyObject* obj, const char* name, std::uint64_t& out);
bool arg_i64(PyObject* obj, const char* name, std::int64_t& out);
bool arg_u16(PyObject* obj, const char* name, std::uint16_t& out);
bool arg_path(PyObject* obj, const char* name, std::string& out);
// Headers for test requests: None or a sequence (not str/dict) of (str, str) tuples.
bool arg_header_pairs(PyObject* obj, const char* name,
                      std::vector<std::pair<std::string, std::string>>& out);
// Body for test requests: None or a sequence (not str) of ints 0..255, such as bytes.
bool arg_byte_seq(PyObject* obj, const char* name, std::string& out);

// Re-raises a pending exception that is exactly TypeError as
// TypeError("argument '<name>': <message>"), keeping its cause.
void prefix_type_error(const char* name);

}  // namespace kiv
