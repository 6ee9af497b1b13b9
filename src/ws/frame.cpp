#include "ws/frame.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace kiv::ws {

bool close_code_valid(std::uint16_t code) {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011) ||
         (code >= 3000 && code <= 4999);
}

// ---- Inflater ---------------------------------------------------------------

Inflater::Inflater() {
  // The widest window reads any sender's stream, whatever it agreed to use.
  if (inflateInit2(&z_, -15) != Z_OK) throw std::bad_alloc();
}

Inflater::~Inflater() {
  inflateEnd(&z_);
}

Inflater::Result Inflater::run(const char* in, std::size_t n, std::string& out, std::size_t limit) {
  if (ended_) return kOk;  // bytes after a final block carry nothing
  z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
  z_.avail_in = static_cast<uInt>(n);
  std::size_t used = out.size();
  Result result = kOk;
  for (;;) {
    if (used == out.size()) {
      // One byte past the limit tells a message that is too big from one
      // that is exactly at it, and nothing more is ever inflated.
      const std::size_t room = limit + 1 - std::min(out.size(), limit + 1);
      if (room == 0) {
        result = kTooBig;
        break;
      }
      out.resize(out.size() + std::min(room, std::max<std::size_t>(out.size(), 16384)));
    }
    z_.next_out = reinterpret_cast<Bytef*>(out.data() + used);
    z_.avail_out = static_cast<uInt>(out.size() - used);
    const int rc = ::inflate(&z_, Z_SYNC_FLUSH);
    used = out.size() - z_.avail_out;
    if (used > limit) {
      result = kTooBig;
      break;
    }
    if (rc == Z_STREAM_END) {
      ended_ = true;
      break;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      result = kCorrupt;
      break;
    }
    if (z_.avail_out > 0) break;  // all input taken and all output given
  }
  out.resize(used);
  return result;
}

Inflater::Result Inflater::inflate(std::string_view in, std::string& out, std::size_t limit) {
  return run(in.data(), in.size(), out, limit);
}

Inflater::Result Inflater::finish(std::string& out, std::size_t limit) {
  static const char kTail[4] = {0, 0, '\xff', '\xff'};
  return run(kTail, 4, out, limit);
}

void Inflater::reset_if_needed(bool no_context_takeover) {
  if (no_context_takeover || ended_) {
    inflateReset(&z_);
    ended_ = false;
  }
}

// ---- Deflater ---------------------------------------------------------------

Deflater::Deflater(int window_bits, bool no_context_takeover, int level)
    : no_context_takeover_(no_context_takeover) {
  window_bits = std::clamp(window_bits, 9, 15);
  if (deflateInit2(&z_, level, Z_DEFLATED, -window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::bad_alloc();
  }
}

Deflater::~Deflater() {
  deflateEnd(&z_);
}

void Deflater::compress(std::string_view in, std::string& out) {
  const std::size_t start = out.size();
  std::size_t used = start;
  z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z_.avail_in = static_cast<uInt>(in.size());
  for (;;) {
    out.resize(used + std::max<std::size_t>(in.size() / 2 + 64, 1024));
    z_.next_out = reinterpret_cast<Bytef*>(out.data() + used);
    z_.avail_out = static_cast<uInt>(out.size() - used);
    ::deflate(&z_, Z_SYNC_FLUSH);
    used = out.size() - z_.avail_out;
    if (z_.avail_out > 0) break;  // the flush is complete
  }
  out.resize(used);
  if (used - start >= 4 && std::memcmp(out.data() + used - 4, "\0\0\xff\xff", 4) == 0) {
    out.resize(used - 4);
  }
  if (no_context_takeover_) deflateReset(&z_);
}

void Deflater::reset() {
  deflateReset(&z_);
}

// ---- FrameReader ------------------------------------------------------------

FrameReader::FrameReader(ReaderLimits limits, bool deflate, bool client_no_context_takeover,
                         bool require_mask)
    : limits_(limits),
      deflate_(deflate),
      client_nct_(client_no_context_takeover),
      require_mask_(require_mask) {
  if (deflate_) inflater_ = std::make_unique<Inflater>();
}

FrameReader::Event FrameReader::fail(std::uint16_t code, std::string_view why) {
  failed_ = true;
  error_ = Event{Kind::kError, why, code};
  return error_;
}

FrameReader::Event FrameReader::start_frame() {
  const std::uint8_t b0 = head_[0], b1 = head_[1];
  fin_ = b0 & 0x80;
  const bool rsv1 = b0 & 0x40;
  op_ = b0 & 0x0F;
  masked_ = b1 & 0x80;
  head_len_ = 0;
  if (b0 & 0x30) return fail(kCloseProtocol, "reserved bits set");
  if (masked_ != require_mask_)
    return fail(kCloseProtocol, masked_ ? "masked frame" : "unmasked frame");
  std::uint64_t len = b1 & 0x7F;
  std::size_t at = 2;
  if (len == 126) {
    len = std::uint64_t(head_[2]) << 8 | head_[3];
    at = 4;
  } else if (len == 127) {
    len = 0;
    for (int i = 0; i < 8; ++i) len = len << 8 | head_[2 + i];
    at = 10;
    if (len >> 63) return fail(kCloseProtocol, "length with the high bit set");
  }
  if (masked_) std::memcpy(key_, head_ + at, 4);

  if (op_ >= 0x8) {
    if (op_ > 0xA) return fail(kCloseProtocol, "unknown opcode");
    if (!fin_) return fail(kCloseProtocol, "fragmented control frame");
    if (len > 125) return fail(kCloseProtocol, "control frame over 125 bytes");
    if (rsv1) return fail(kCloseProtocol, "RSV1 on a control frame");
    ctrl_len_ = 0;
  } else if (op_ == 0x0) {
    if (msg_op_ == 0) return fail(kCloseProtocol, "continuation without a message");
    if (rsv1) return fail(kCloseProtocol, "RSV1 on a continuation frame");
  } else if (op_ == 0x1 || op_ == 0x2) {
    if (msg_op_ != 0) return fail(kCloseProtocol, "new message inside a fragmented one");
    if (rsv1 && !deflate_) return fail(kCloseProtocol, "RSV1 without compression");
    msg_op_ = op_;
    compressed_ = rsv1;
    msg_.clear();
    // One huge message must not pin its buffer for the connection's life.
    if (msg_.capacity() > (1u << 16)) msg_.shrink_to_fit();
    utf8_.reset();
    if (compressed_) inflater_->reset_if_needed(client_nct_);
  } else {
    return fail(kCloseProtocol, "unknown opcode");
  }
  if (op_ < 0x8) {
    if (len > limits_.max_frame) return fail(kCloseTooBig, "frame too big");
    if (!compressed_ && len > limits_.max_message - std::min(msg_.size(), limits_.max_message)) {
      return fail(kCloseTooBig, "message too big");
    }
  }
  in_payload_ = true;
  left_ = len;
  mask_at_ = 0;
  return {};
}

FrameReader::Event FrameReader::take_payload(std::string_view& in) {
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left_, in.size()));
  if (op_ >= 0x8) {
    std::memcpy(ctrl_ + ctrl_len_, in.data(), n);
    if (masked_) unmask(ctrl_ + ctrl_len_, n, key_, mask_at_);
    ctrl_len_ += n;
  } else if (!compressed_) {
    const std::size_t old = msg_.size();
    msg_.append(in.data(), n);
    if (masked_) unmask(msg_.data() + old, n, key_, mask_at_);
    if (msg_op_ == 0x1 && !utf8_.feed(std::string_view(msg_).substr(old))) {
      return fail(kCloseInvalidData, "invalid UTF-8 in a text message");
    }
  } else {
    char scratch[4096];
    for (std::size_t done = 0; done < n;) {
      const std::size_t step = std::min(n - done, sizeof scratch);
      std::memcpy(scratch, in.data() + done, step);
      if (masked_) unmask(scratch, step, key_, mask_at_ + done);
      const std::size_t old = msg_.size();
      const auto r = inflater_->inflate({scratch, step}, msg_, limits_.max_message);
      // The text is checked first, so the answer does not depend on how the
      // bytes were split into reads.
      if (msg_op_ == 0x1 && !utf8_.feed(std::string_view(msg_).substr(old))) {
        return fail(kCloseInvalidData, "invalid UTF-8 in a text message");
      }
      if (r == Inflater::kTooBig) return fail(kCloseTooBig, "message too big once inflated");
      if (r == Inflater::kCorrupt) return fail(kCloseInvalidData, "corrupt compressed data");
      done += step;
    }
  }
  mask_at_ += n;
  left_ -= n;
  in.remove_prefix(n);
  return {};
}

FrameReader::Event FrameReader::end_frame() {
  in_payload_ = false;
  const std::string_view ctrl(ctrl_, ctrl_len_);
  switch (op_) {
    case 0x8: {
      if (ctrl.empty()) return {Kind::kClose, {}, kCloseNoStatus};
      if (ctrl.size() == 1) return fail(kCloseProtocol, "close payload of one byte");
      const auto code = std::uint16_t(std::uint8_t(ctrl[0]) << 8 | std::uint8_t(ctrl[1]));
      if (!close_code_valid(code)) return fail(kCloseProtocol, "invalid close code");
      if (!valid_utf8(ctrl.substr(2)))
        return fail(kCloseInvalidData, "invalid UTF-8 in a close reason");
      return {Kind::kClose, ctrl.substr(2), code};
    }
    case 0x9:
      return {Kind::kPing, ctrl, 0};
    case 0xA:
      return {Kind::kPong, ctrl, 0};
    default:
      break;
  }
  if (!fin_) return {};
  if (compressed_) {
    const std::size_t old = msg_.size();
    const auto r = inflater_->finish(msg_, limits_.max_message);
    if (msg_op_ == 0x1 && !utf8_.feed(std::string_view(msg_).substr(old))) {
      return fail(kCloseInvalidData, "invalid UTF-8 in a text message");
    }
    if (r == Inflater::kTooBig) return fail(kCloseTooBig, "message too big once inflated");
    if (r == Inflater::kCorrupt) return fail(kCloseInvalidData, "corrupt compressed data");
  }
  if (msg_op_ == 0x1 && !utf8_.complete()) {
    return fail(kCloseInvalidData, "text message ends inside a character");
  }
  const Kind kind = msg_op_ == 0x1 ? Kind::kText : Kind::kBinary;
  msg_op_ = 0;
  return {kind, msg_, 0};
}

FrameReader::Event FrameReader::next(std::string_view& in) {
  if (failed_) return error_;
  for (;;) {
    if (!in_payload_) {
      for (;;) {
        std::size_t need = 2;
        if (head_len_ >= 2) {
          const std::uint8_t len7 = head_[1] & 0x7F;
          need += (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + ((head_[1] & 0x80) ? 4 : 0);
        }
        if (head_len_ >= need) break;
        if (in.empty()) return {};
        const std::size_t take = std::min(need - head_len_, in.size());
        std::memcpy(head_ + head_len_, in.data(), take);
        head_len_ += take;
        in.remove_prefix(take);
      }
      if (Event e = start_frame(); e.kind == Kind::kError) return e;
    }
    if (left_ > 0) {
      if (in.empty()) return {};
      if (Event e = take_payload(in); e.kind == Kind::kError) return e;
      if (left_ > 0) return {};
    }
    if (Event e = end_frame(); e.kind != Kind::kNeedMore) return e;
  }
}

// ---- Writing ----------------------------------------------------------------

void append_frame_head(std::string& out, Opcode op, bool fin, bool rsv1, std::uint64_t len,
                       const std::uint8_t* mask) {
  char head[14];
  std::size_t n = 0;
  head[n++] = char((fin ? 0x80 : 0) | (rsv1 ? 0x40 : 0) | static_cast<std::uint8_t>(op));
  const char m = mask ? char(0x80) : 0;
  if (len < 126) {
    head[n++] = char(m | char(len));
  } else if (len <= 0xFFFF) {
    head[n++] = char(m | 126);
    head[n++] = char(len >> 8);
    head[n++] = char(len);
  } else {
    head[n++] = char(m | 127);
    for (int i = 7; i >= 0; --i) head[n++] = char(len >> (8 * i));
  }
  if (mask) {
    std::memcpy(head + n, mask, 4);
    n += 4;
  }
  out.append(head, n);
}

std::string make_frame(Opcode op, std::string_view payload, bool fin, bool rsv1,
                       const std::uint8_t* mask) {
  std::string out;
  out.reserve(payload.size() + 14);
  append_frame_head(out, op, fin, rsv1, payload.size(), mask);
  const std::size_t at = out.size();
  out.append(payload);
  if (mask) unmask(out.data() + at, payload.size(), mask, 0);
  return out;
}

std::string make_close(std::uint16_t code, std::string_view reason) {
  if (code == kCloseNoStatus) return make_frame(Opcode::kClose, {});
  std::size_t cut = std::min<std::size_t>(reason.size(), 123);
  while (cut < reason.size() && cut > 0 && (std::uint8_t(reason[cut]) & 0xC0) == 0x80) --cut;
  std::string payload;
  payload += char(code >> 8);
  payload += char(code & 0xFF);
  payload.append(reason.substr(0, cut));
  return make_frame(Opcode::kClose, payload);
}

void append_message(std::string& out, Opcode op, std::string_view payload, Deflater* deflater,
                    std::size_t fragment) {
  std::string packed;
  std::string_view body = payload;
  if (deflater) {
    deflater->compress(payload, packed);
    body = packed;
  }
  if (fragment == 0 || body.size() <= fragment) {
    append_frame_head(out, op, true, deflater != nullptr, body.size());
    out.append(body);
    return;
  }
  bool first = true;
  while (!body.empty()) {
    const std::size_t n = std::min(fragment, body.size());
    append_frame_head(out, first ? op : Opcode::kContinuation, n == body.size(),
                      first && deflater != nullptr, n);
    out.append(body.substr(0, n));
    body.remove_prefix(n);
    first = false;
  }
}

}  // namespace kiv::ws
