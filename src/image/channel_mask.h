// One colour channel of a packed pixel, given by its bit mask, scaled to 8 bits.
#pragma once

#include <bit>
#include <cstdint>

namespace tapline::image {

struct ChannelMask {
  uint32_t mask = 0;
  int shift = 0;
  int bits = 0;

  // False when the mask's bits are not one run.
  bool set(uint32_t channel_mask) {
    mask = channel_mask;
    shift = mask == 0 ? 0 : std::countr_zero(mask);
    bits = std::popcount(mask);
    return mask == 0 || (mask >> shift) == (bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1);
  }

  // The channel of `raw` as 0..255: wider channels keep their top 8 bits; narrower ones
  // repeat their bits downwards so that the largest value becomes 255.
  uint32_t value(uint32_t raw) const {
    if (bits == 0) return 0;
    const uint32_t v = (raw & mask) >> shift;
    if (bits >= 8) return v >> (bits - 8);
    uint32_t x = v << (8 - bits);
    for (int k = bits; k < 8; k += k) x |= x >> k;
    return x & 0xFF;
  }
};

// Three channel masks: a packed pixel to our 32-bit pixel (blue low, red third byte).
struct ChannelMasks {
  ChannelMask red, green, blue;

  bool set(uint32_t red_mask, uint32_t green_mask, uint32_t blue_mask) {
    const bool r = red.set(red_mask), g = green.set(green_mask), b = blue.set(blue_mask);
    return r && g && b;
  }
  uint32_t pixel(uint32_t raw) const {
    return blue.value(raw) | (green.value(raw) << 8) | (red.value(raw) << 16);
  }
  bool is_plain_bgr() const {
    return red.mask == 0xFF0000 && green.mask == 0xFF00 && blue.mask == 0xFF;
  }
};

}  // namespace tapline::image
