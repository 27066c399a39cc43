// A byte source for the decoders: exact reads through a buffer over a file,
// or over bytes already in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "format/status.h"

namespace corvid {

class BufferedReader {
 public:
  BufferedReader(int fd, size_t capacity);
  explicit BufferedReader(std::string_view bytes);

  // Fills `dst` completely or fails: "failed to fill whole buffer" at the end
  // of input, the system's error on a failed read.
  Status read_exact(void* dst, size_t n);
  // The next n bytes when the buffer holds them whole, taken; otherwise
  // nullptr, and nothing is taken.
  const uint8_t* take_buffered(size_t n) {
    if (filled_ - pos_ < n) return nullptr;
    const uint8_t* p = buf_ + pos_;
    pos_ += n;
    consumed_ += n;
    return p;
  }
  // Bytes handed out so far.
  uint64_t consumed() const { return consumed_; }

 private:
  Status refill();

  int fd_ = -1;
  std::unique_ptr<uint8_t[]> owned_;
  const uint8_t* buf_ = nullptr;
  size_t capacity_ = 0;
  size_t pos_ = 0;
  size_t filled_ = 0;
  uint64_t consumed_ = 0;
};

// The decoding rules shared by snapshot.bin and wal.bin.
Status decode_u32(BufferedReader& in, uint32_t* out);
Status decode_u64(BufferedReader& in, uint64_t* out);
// A u64 length then that many bytes; reserves memory only as bytes arrive.
Status decode_bytes(BufferedReader& in, std::string* out);
// As decode_bytes, then the bytes must be valid UTF-8.
Status decode_text(BufferedReader& in, std::string* out);

bool valid_utf8(std::string_view s);

}  // namespace corvid
