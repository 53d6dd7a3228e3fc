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

  // Sums the pattern's and the grab's channels, the grab's over columns x0 .. x1 - 1 of
  // rows y0 .. y1 - 1, into a buffer reused from call to call. The rectangle must hold
  // every compared pixel within the grab of the corners asked about next.
  void cover(const PixelView& pattern, const PixelView& grab, int x0, int y0, int x1, int y1);

  // True when more than the budget of compared pixels at `corner` certainly differ: those
  // outside the covered rectangle (outside the grab) always do. Coarse blocks are tried
  // first, then finer ones (the blocks' bounds add up to a bound for the whole).
  bool exceeds_budget(Point corner) const;

 private:
  // Sums of each channel over the first x columns of the first y rows of a rectangle, as
  // four 32-bit lanes (blue, green, red, 0) per entry; they wrap, but the sum over a
  // rectangle of fewer than 2^23 pixels is exact (and below 2^31).
  struct SumTable {
    const uint32_t* entries = nullptr;
    int columns = 0;  // entries per row: the rectangle's width + 1
  };

  struct Block {
    int x, y, width, height;                      // within the compared pixels
    std::array<int, 3> pattern_min, pattern_max;  // per channel: blue, green, red
    // The largest difference a pixel can have in a channel, past its tolerance.
    std::array<int64_t, 3> most_beyond;
    std::array<double, 3> reciprocal;  // 1 / most_beyond
  };
  static constexpr int kMaxBlocks = 1 + 4 + 16 + 64;  // levels of 1, 2x2, 4x4, 8x8 blocks

  int64_t block_bound(const Block& block, Point corner) const;
  bool whole_exceeds_budget(Point corner) const;

  bool usable_ = false;
  int64_t budget_ = 0;
  int compared_width_ = 0, compared_height_ = 0;
  std::array<int, 3> tolerance_{};
  std::array<Block, kMaxBlocks> blocks_{};
  std::array<int, 5> level_starts_{};  // level l's blocks: level_starts_[l] .. [l + 1] - 1
  int levels_ = 0;

  // For a corner whose compared pixels all lie in the sums, the whole pattern's bound
  // exceeds the budget exactly when some channel's sums differ by more than its limit
  // (lanes blue, green, red, 0, as in the sums).
  alignas(16) std::array<int32_t, 4> whole_pattern_sum_{}, whole_limit_{};

  SumTable pattern_sums_, grab_sums_;
  int x0_ = 0, y0_ = 0, x1_ = 0, y1_ = 0;  // the covered rectangle
};

}  // namespace tapline::image
