// Static files under a mounted folder: safe path resolution, content types
// and If-Modified-Since. Everything here is synchronous file-system work and
// free of Python; the server runs serve_static_sync as one blocking-pool job.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/request.hpp"
#include "http/response.hpp"

namespace kiv {

// Content-Type for the extension of the final path component (ASCII
// case-insensitive); "application/octet-stream" when there is none or it is
// not in the table. A leading dot (".env") does not start an extension.
std::string_view mime_type_for(std::string_view resolved_path);

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar; m is
// 1-12, d is not range-checked (day 0 is the last day of the previous month).
// Exact for every representable result; saturates at the int64 limits.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d);

// Seconds since the Unix epoch named by an If-Modified-Since value in the
// preferred HTTP date form, or nullopt when it does not parse (including
// results that do not fit in 64 bits). Fields are not range-checked.
std::optional<std::int64_t> parse_if_modified_since(std::string_view value);

// Decodes rel, refuses NUL bytes and ".." pieces (after backslashes become
// "/"), joins it onto folder, canonicalises the result and keeps it only when
// it lies inside folder, compared component by component. folder must be
// absolute; a relative folder contains nothing.
std::optional<std::string> resolve_static_path(std::string_view folder, std::string_view rel);

// The whole static-file answer: 304 with no headers and no body when the
// If-Modified-Since time is not older than the file, otherwise 200 with the
// file's bytes and Content-Type, Last-Modified and (when cc_max_age >= 0)
// Cache-Control, in that order. nullopt means nothing is served.
std::optional<ResponseOut> serve_static_sync(std::string_view folder, std::string_view rel,
                                             const HeaderList& headers, std::int64_t cc_max_age);

}  // namespace kiv
