// Percent-decoding and lossy UTF-8 reading, against a reference decoder:
// the output is valid UTF-8, keeps every well-formed sequence of the decoded
// bytes and replaces only the rest, and stays within its size bound.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "percent.hpp"

namespace {

constexpr std::string_view kFffd = "\xEF\xBF\xBD";

void check_lossy(std::string_view raw, const std::string& out) {
  FUZZ_CHECK(kivfuzz::ref_valid_utf8(out));
  FUZZ_CHECK(kiv::is_valid_utf8(out));
  if (kivfuzz::ref_valid_utf8(raw)) {
    FUZZ_CHECK(out == raw);
    return;
  }
  // Each maximal invalid subpart (1 to 3 bytes) becomes one U+FFFD of 3
  // bytes and valid sequences are copied, so 3 bytes per raw byte is the
  // bound, reached by a run of lone continuation bytes. The replacements
  // number at least one and at most one per invalid byte.
  FUZZ_CHECK(out.size() <= 3 * raw.size());
  std::size_t bad_raw = 0, bad_out = 0;
  const std::string kept_raw = kivfuzz::ref_valid_parts_without_fffd(raw, &bad_raw);
  const std::string kept_out = kivfuzz::ref_valid_parts_without_fffd(out, &bad_out);
  FUZZ_CHECK(bad_out == 0 && bad_raw > 0);
  FUZZ_CHECK(kept_out == kept_raw);
  const std::size_t added = kivfuzz::count_of(out, kFffd) - kivfuzz::count_of(raw, kFffd);
  FUZZ_CHECK(added >= 1 && added <= bad_raw);
}

std::string encode_all(std::string_view s) {
  static constexpr char kUpper[] = "0123456789ABCDEF", kLower[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    const char* digits = i % 2 ? kLower : kUpper;  // either case decodes
    out += '%';
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view s = kivfuzz::as_view(data, size);

  for (bool plus : {false, true}) {
    const std::string out = kiv::percent_decode(s, plus);
    const std::string raw = kivfuzz::ref_unescape(s, plus);
    std::string appended = "x";  // raw bytes, appended to what is there
    kiv::percent_unescape(s, appended, plus);
    FUZZ_CHECK(appended == "x" + raw);
    FUZZ_CHECK(raw.size() <= s.size());
    check_lossy(raw, out);
    FUZZ_CHECK(out.size() <= 3 * s.size());
    if (s.find('%') == std::string_view::npos && (!plus || s.find('+') == std::string_view::npos) &&
        kivfuzz::ref_valid_utf8(s)) {
      FUZZ_CHECK(out == s);
    }
  }

  // "+" handling is a plain substitution done before decoding.
  std::string spaced(s);
  for (char& c : spaced) {
    if (c == '+') c = ' ';
  }
  FUZZ_CHECK(kiv::percent_decode(s, true) == kiv::percent_decode(spaced, false));

  // Escaping every byte and decoding again gives the lossy reading of s.
  const std::string lossy = kiv::utf8_lossy(s);
  check_lossy(s, lossy);
  FUZZ_CHECK(kiv::utf8_lossy(lossy) == lossy);
  FUZZ_CHECK(kiv::is_valid_utf8(s) == kivfuzz::ref_valid_utf8(s));
  if (size <= 1024) FUZZ_CHECK(kiv::percent_decode(encode_all(s), false) == lossy);
  return 0;
}
