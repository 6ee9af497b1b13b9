// WebSocket frames: a reader that turns bytes into messages and control
// frames as a pure state machine, and the writing side (frame heads, close
// payloads, permessage-deflate compression). No socket, no Python.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "ws/codec.hpp"

namespace kiv::ws {

enum class Opcode : std::uint8_t {
  kContinuation = 0x0,
  kText = 0x1,
  kBinary = 0x2,
  kClose = 0x8,
  kPing = 0x9,
  kPong = 0xA,
};

// Close codes the engine itself sends.
inline constexpr std::uint16_t kCloseNormal = 1000, kCloseGoingAway = 1001, kCloseProtocol = 1002,
                               kCloseNoStatus = 1005, kCloseInvalidData = 1007, kClosePolicy = 1008,
                               kCloseTooBig = 1009, kCloseInternal = 1011;

// A code a peer may put in a close frame: 1000-1003, 1007-1011 and the
// registered/private range 3000-4999.
bool close_code_valid(std::uint16_t code);

// Raw inflate of permessage-deflate messages.
class Inflater {
 public:
  Inflater();
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  enum Result { kOk, kCorrupt, kTooBig };
  // Inflates `in` onto the end of `out`, never letting out grow past `limit`.
  Result inflate(std::string_view in, std::string& out, std::size_t limit);
  // The message ends: feeds the 00 00 FF FF tail the sender stripped.
  Result finish(std::string& out, std::size_t limit);
  // Before a message whose sender reset its context (or after a final block).
  void reset_if_needed(bool no_context_takeover);

 private:
  Result run(const char* in, std::size_t n, std::string& out, std::size_t limit);
  z_stream z_{};
  bool ended_ = false;  // the sender closed its stream with a final block
};

// Raw deflate of permessage-deflate messages.
class Deflater {
 public:
  Deflater(int window_bits, bool no_context_takeover, int level = Z_DEFAULT_COMPRESSION);
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  // Appends the compressed message, without the 00 00 FF FF tail.
  void compress(std::string_view in, std::string& out);
  // The next message references nothing sent before it.
  void reset();

 private:
  z_stream z_{};
  bool no_context_takeover_;
};

struct ReaderLimits {
  std::size_t max_frame = 16u << 20;    // payload bytes of one frame
  std::size_t max_message = 16u << 20;  // payload bytes of one message, after inflating
};

// Reads client-to-server frames. Feed bytes with next(); it consumes what it
// can and stops at the first complete event. Payload views point into the
// reader's own buffers and stay valid until the next call.
class FrameReader {
 public:
  enum class Kind { kNeedMore, kText, kBinary, kPing, kPong, kClose, kError };
  struct Event {
    Kind kind = Kind::kNeedMore;
    std::string_view payload;  // message or ping/pong payload; close reason; error text
    std::uint16_t code = 0;    // close code (kCloseNoStatus when none); the code to
                               // close with on kError
  };

  // deflate: permessage-deflate was agreed; client_no_context_takeover: the
  // client resets its compressor per message, so we reset too.
  // require_mask: frames from a client must be masked.
  explicit FrameReader(ReaderLimits limits = {}, bool deflate = false,
                       bool client_no_context_takeover = false, bool require_mask = true);

  // Consumes bytes from the front of `in`. After kError every later call
  // returns the same error and consumes nothing.
  Event next(std::string_view& in);

  // True while a fragmented message is in progress.
  bool in_message() const { return msg_op_ != 0; }

 private:
  Event fail(std::uint16_t code, std::string_view why);
  Event start_frame();
  Event end_frame();
  Event take_payload(std::string_view& in);

  ReaderLimits limits_;
  bool deflate_, client_nct_, require_mask_;
  std::unique_ptr<Inflater> inflater_;

  // Frame head being read.
  std::uint8_t head_[14];
  std::size_t head_len_ = 0;
  // Current frame.
  bool in_payload_ = false;
  bool fin_ = false, masked_ = false;
  std::uint8_t op_ = 0;
  std::uint8_t key_[4] = {};
  std::uint64_t left_ = 0;
  std::size_t mask_at_ = 0;
  // Current data message (op 1 or 2; 0 when none).
  std::uint8_t msg_op_ = 0;
  bool compressed_ = false;
  std::string msg_;
  Utf8Check utf8_;
  // Current control frame.
  char ctrl_[125];
  std::size_t ctrl_len_ = 0;

  bool failed_ = false;
  Event error_;
};

// Appends a frame head. A non-null mask (client frames) is written after the
// length; the caller masks the payload.
void append_frame_head(std::string& out, Opcode op, bool fin, bool rsv1, std::uint64_t len,
                       const std::uint8_t* mask = nullptr);

// One whole frame: head and payload, masked with `mask` when given.
std::string make_frame(Opcode op, std::string_view payload, bool fin = true, bool rsv1 = false,
                       const std::uint8_t* mask = nullptr);

// A close frame; code kCloseNoStatus gives an empty payload. The reason is
// cut to fit the 125 bytes of a control frame, at a character boundary.
std::string make_close(std::uint16_t code, std::string_view reason = {});

// A data message as server frames: compressed with `deflater` when given
// (RSV1 on the first frame), split into frames of at most `fragment` payload
// bytes when fragment is not 0.
void append_message(std::string& out, Opcode op, std::string_view payload,
                    Deflater* deflater = nullptr, std::size_t fragment = 0);

}  // namespace kiv::ws
