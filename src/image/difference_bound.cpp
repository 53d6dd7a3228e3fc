#include "image/difference_bound.h"

#include <emmintrin.h>

#include <algorithm>
#include <vector>

namespace tapline::image {
namespace {

// A pixel's channels as four 32-bit lanes: blue, green, red, 0.
inline __m128i lanes_of(Pixel pixel) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i bytes = _mm_cvtsi32_si128(static_cast<int>(pixel & kPixelColorMask));
  return _mm_unpacklo_epi16(_mm_unpacklo_epi8(bytes, zero), zero);
}

inline int channel(Pixel pixel, int c) { return static_cast<int>((pixel >> (8 * c)) & 0xFF); }

// A block bound costs about as much as counting this many pixels.
constexpr int64_t kBlockCost = 8;

}  // namespace

DifferenceBound::DifferenceBound(const PixelView& pattern, Pixel allowed, int64_t budget)
    : budget_(budget) {
  const int compared_width = pattern.width - 1, compared_height = pattern.height - 1;
  const int64_t compared = static_cast<int64_t>(compared_width) * compared_height;
  for (int c = 0; c < 3; ++c) tolerance_[c] = channel(allowed, c);
  // The sums of a block must stay below 2^32: 255 times fewer than 2^24 pixels.
  usable_ = compared > 0 && compared < (int64_t{1} << 24) && budget < compared &&
            std::any_of(tolerance_.begin(), tolerance_.end(), [](int t) { return t < 255; });
  if (!usable_) return;

  // Finer levels only while their blocks cost less than counting a failing corner.
  const int64_t counting = std::min(compared, std::max<int64_t>(budget, 0) + compared_width);
  int used = 0;
  for (int k = 1; k <= 8; k *= 2) {
    const int across = std::min(k, compared_width), down = std::min(k, compared_height);
    if (levels_ > 0 && (across * down <= used - level_starts_[levels_ - 1] ||
                        across * down * kBlockCost > counting))
      break;
    level_starts_[levels_++] = used;
    for (int i = 0; i < down; ++i) {
      for (int j = 0; j < across; ++j) {
        Block& block = blocks_[used++];
        block.x = j * compared_width / across;
        block.y = i * compared_height / down;
        block.width = (j + 1) * compared_width / across - block.x;
        block.height = (i + 1) * compared_height / down - block.y;
        block.pattern_sum = {};
        block.pattern_min = {255, 255, 255};
        block.pattern_max = {};
        for (int y = block.y; y < block.y + block.height; ++y) {
          const Pixel* row = pattern.row(y);
          for (int x = block.x; x < block.x + block.width; ++x) {
            for (int c = 0; c < 3; ++c) {
              const int value = channel(row[x], c);
              block.pattern_sum[c] += value;
              block.pattern_min[c] = std::min(block.pattern_min[c], value);
              block.pattern_max[c] = std::max(block.pattern_max[c], value);
            }
          }
        }
      }
    }
  }
  level_starts_[levels_] = used;
}

void DifferenceBound::cover(const PixelView& grab, int x0, int y0, int x1, int y1) {
  // Reused by every search of the thread: no allocation once it has grown.
  thread_local std::vector<uint32_t> buffer;
  const int columns = x1 - x0 + 1, rows = y1 - y0 + 1;
  const size_t needed = static_cast<size_t>(columns) * static_cast<size_t>(rows) * 4;
  if (buffer.size() < needed) buffer.resize(needed);
  uint32_t* sums = buffer.data();
  std::fill_n(sums, static_cast<size_t>(columns) * 4, 0u);
  __m128i low = _mm_set1_epi8(-1), high = _mm_setzero_si128();
  for (int y = 1; y < rows; ++y) {
    const Pixel* source = grab.row(y0 + y - 1) + x0;
    const uint32_t* above = sums + static_cast<size_t>(y - 1) * columns * 4;
    uint32_t* line = sums + static_cast<size_t>(y) * columns * 4;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(line), _mm_setzero_si128());
    __m128i running = _mm_setzero_si128();
    for (int x = 1; x < columns; ++x) {
      const Pixel pixel = source[x - 1];
      const __m128i bytes = _mm_cvtsi32_si128(static_cast<int>(pixel));
      low = _mm_min_epu8(low, bytes);
      high = _mm_max_epu8(high, bytes);
      running = _mm_add_epi32(running, lanes_of(pixel));
      const __m128i sum =
          _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(above + x * 4)), running);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(line + x * 4), sum);
    }
  }
  sums_ = sums;
  x0_ = x0, y0_ = y0, columns_ = columns;

  // The largest difference a pixel of a block can have, from the extremes of both sides.
  const Pixel grab_min = static_cast<Pixel>(_mm_cvtsi128_si32(low));
  const Pixel grab_max = static_cast<Pixel>(_mm_cvtsi128_si32(high));
  for (int b = 0; b < level_starts_[levels_]; ++b) {
    Block& block = blocks_[b];
    for (int c = 0; c < 3; ++c) {
      const int largest = std::max(channel(grab_max, c) - block.pattern_min[c],
                                   block.pattern_max[c] - channel(grab_min, c));
      block.most_beyond[c] = largest - tolerance_[c];
      block.reciprocal[c] = block.most_beyond[c] > 0 ? 1.0 / block.most_beyond[c] : 0.0;
    }
  }
}

int64_t DifferenceBound::block_bound(const Block& block, Point corner) const {
  const int x = corner.x - x0_ + block.x, y = corner.y - y0_ + block.y;
  auto at = [this](int column, int row) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(
        sums_ + (static_cast<size_t>(row) * columns_ + column) * 4));
  };
  // Sums of up to 255 x 2^24 stay exact in wrapping 32-bit lanes.
  const __m128i sum =
      _mm_add_epi32(_mm_sub_epi32(at(x + block.width, y + block.height), at(x, y + block.height)),
                    _mm_sub_epi32(at(x, y), at(x + block.width, y)));
  alignas(16) uint32_t grab_sum[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(grab_sum), sum);
  const int64_t pixels = static_cast<int64_t>(block.width) * block.height;
  int64_t bound = 0;
  for (int c = 0; c < 3; ++c) {
    // Pixels within the tolerance move the sum by at most t each, the others by at most
    // most_beyond + t: so at least (|difference| - pixels * t) / most_beyond differ.
    const int64_t difference = static_cast<int64_t>(grab_sum[c]) - block.pattern_sum[c];
    const int64_t excess = (difference < 0 ? -difference : difference) - pixels * tolerance_[c];
    const int64_t most = block.most_beyond[c];
    if (excess > 0 && most > 0) {
      // The product is within 2^-18 of excess / most (both below 2^40), never past the
      // next whole number: it truncates to the ceiling or, for a whole quotient, one less.
      const auto below = static_cast<int64_t>(static_cast<double>(excess) * block.reciprocal[c]);
      bound = std::max(bound, below + (below * most < excess));
    }
  }
  return bound;
}

bool DifferenceBound::exceeds_budget(Point corner) const {
  for (int level = 0; level < levels_; ++level) {
    int64_t differing = 0;
    for (int b = level_starts_[level]; b < level_starts_[level + 1]; ++b)
      differing += block_bound(blocks_[b], corner);
    if (differing > budget_) return true;
  }
  return false;
}

}  // namespace tapline::image
