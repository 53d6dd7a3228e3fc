// Exact lower bounds on how many compared pattern pixels differ from a grab beyond a
// tolerance, from sums of each colour channel, so that the tolerant search can reject a
// hopeless corner without counting its pixels.
#pragma once

#include <array>
#include <cstdint>

#include "image/pixels.h"

namespace tapline::image {

class DifferenceBound {
 public:
  // `allowed` holds the allowed difference per byte of a pixel (blue, green, red) and 0xFF
  // in the ignored byte; the compared pixels are all but the pattern's last column and row.
  DifferenceBound(const PixelView& pattern, Pixel allowed, int64_t budget);

  // False when no bound can say anything: every candidate passes, every channel is
  // allowed any difference, or the compared area is too large for 32-bit sums.
  bool usable() const { return usable_; }

  // Sums the grab's channels over columns x0 .. x1 - 1 of rows y0 .. y1 - 1, the place of
  // every corner asked about next, into a buffer reused from call to call.
  void cover(const PixelView& grab, int x0, int y0, int x1, int y1);

  // True when more than the budget of compared pixels at `corner` certainly differ; the
  // compared pixels must lie within the covered rectangle. Coarse blocks are tried first,
  // then finer ones (each block's bound adds up to a bound for the whole).
  bool exceeds_budget(Point corner) const;

 private:
  struct Block {
    int x, y, width, height;
    std::array<int64_t, 3> pattern_sum;  // per channel: blue, green, red
    std::array<int, 3> pattern_min, pattern_max;
    // The largest difference a pixel can have in a channel, past its tolerance.
    std::array<int64_t, 3> most_beyond;
    std::array<double, 3> reciprocal;  // 1 / most_beyond
  };
  static constexpr int kMaxBlocks = 1 + 4 + 16 + 64;  // levels of 1, 2x2, 4x4, 8x8 blocks

  int64_t block_bound(const Block& block, Point corner) const;

  bool usable_ = false;
  int64_t budget_ = 0;
  std::array<int, 3> tolerance_{};
  std::array<Block, kMaxBlocks> blocks_{};
  std::array<int, 5> level_starts_{};  // level l's blocks: level_starts_[l] .. [l + 1] - 1
  int levels_ = 0;

  // The covered rectangle's sums: entry (x, y) holds four 32-bit lanes (blue, green, red,
  // 0), the sums over its first x columns of its first y rows.
  const uint32_t* sums_ = nullptr;
  int x0_ = 0, y0_ = 0, columns_ = 0;
};

}  // namespace tapline::image
