// The bytes of a fuzz input read as a program: numbers and bytes taken from
// the front, zeros once the input is used up, so every input is a program.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velmora::fuzz {

class Input {
  public:
    Input(const uint8_t *data, std::size_t size) : data_(data), left_(size) {}
    bool empty() const { return left_ == 0; }
    uint8_t u8() {
        uint8_t v = 0;
        bytes(&v, 1);
        return v;
    }
    uint16_t u16() { return number<uint16_t>(); }
    uint32_t u32() { return number<uint32_t>(); }
    uint64_t u64() { return number<uint64_t>(); }
    // Copies up to n bytes; the rest of `to` is zeroed.
    void bytes(void *to, std::size_t n) {
        const std::size_t k = std::min(n, left_);
        std::memcpy(to, data_, k);
        std::memset(static_cast<unsigned char *>(to) + k, 0, n - k);
        data_ += k;
        left_ -= k;
    }

  private:
    template <typename T>
    T number() {
        T v;
        bytes(&v, sizeof v);
        return v;
    }
    const uint8_t *data_;
    std::size_t left_;
};

}  // namespace velmora::fuzz
