#include "image/difference_bound.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tapline::image {
namespace {

inline int channel(Pixel pixel, int c) { return static_cast<int>((pixel >> (8 * c)) & 0xFF); }

// A block bound costs about as much as counting this many pixels.
constexpr int64_t kBlockCost = 8;

// Fills `out` with the channel sums of columns x0 .. x1 - 1 of rows y0 .. y1 - 1 of `view`
// (see SumTable); `low` and `high` take each byte's extremes over those pixels.
void fill_sums(const PixelView& view, int x0, int y0, int x1, int y1, uint32_t* out, Pixel& low,
               Pixel& high) {
  const int columns = x1 - x0 + 1;
  const __m128i zero = _mm_setzero_si128();
  __m128i least = _mm_set1_epi8(-1), most = zero;
  std::fill_n(out, static_cast<size_t>(columns) * 4, 0u);
  for (int y = y0; y < y1; ++y) {
    const Pixel* source = view.row(y) + x0;
    const uint32_t* above = out + static_cast<size_t>(y - y0) * columns * 4;
    uint32_t* line = out + static_cast<size_t>(y - y0 + 1) * columns * 4;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(line), zero);
    __m128i running = zero;
    for (int x = 1; x < columns; ++x) {
      const __m128i bytes = _mm_cvtsi32_si128(static_cast<int>(source[x - 1] & kPixelColorMask));
      least = _mm_min_epu8(least, bytes);
      most = _mm_max_epu8(most, bytes);
      running = _mm_add_epi32(running, _mm_unpacklo_epi16(_mm_unpacklo_epi8(bytes, zero), zero));
      const __m128i sum =
          _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(above + x * 4)), running);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(line + x * 4), sum);
    }
  }
  low = static_cast<Pixel>(_mm_cvtsi128_si32(least));
  high = static_cast<Pixel>(_mm_cvtsi128_si32(most));
}

// The sums of a table's rectangle over columns x0 .. x1 - 1 of rows y0 .. y1 - 1.
template <typename Table>
inline __m128i box(const Table& table, int x0, int y0, int x1, int y1) {
  auto at = [&table](int x, int y) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(
        table.entries + (static_cast<size_t>(y) * table.columns + x) * 4));
  };
  return _mm_add_epi32(_mm_sub_epi32(at(x1, y1), at(x0, y1)),
                       _mm_sub_epi32(at(x0, y0), at(x1, y0)));
}

}  // namespace

DifferenceBound::DifferenceBound(const PixelView& pattern, Pixel allowed, int64_t budget)
    : budget_(budget), compared_width_(pattern.width - 1), compared_height_(pattern.height - 1) {
  const int64_t compared = static_cast<int64_t>(compared_width_) * compared_height_;
  for (int c = 0; c < 3; ++c) tolerance_[c] = channel(allowed, c);
  // The sums of a block must stay below 2^31: 255 times fewer than 2^23 pixels.
  usable_ = compared_width_ > 0 && compared_height_ > 0 && compared < (int64_t{1} << 23) &&
            budget < compared &&
            std::any_of(tolerance_.begin(), tolerance_.end(), [](int t) { return t < 255; });
  if (!usable_) return;

  // Finer levels only while their blocks cost less than counting a failing corner.
  const int64_t counting = std::min(compared, std::max<int64_t>(budget, 0) + compared_width_);
  int used = 0;
  for (int k = 1; k <= 8; k *= 2) {
    const int across = std::min(k, compared_width_), down = std::min(k, compared_height_);
    if (levels_ > 0 && (across * down <= used - level_starts_[levels_ - 1] ||
                        across * down * kBlockCost > counting))
      break;
    level_starts_[levels_++] = used;
    for (int i = 0; i < down; ++i) {
      for (int j = 0; j < across; ++j) {
        Block& block = blocks_[used++];
        block.x = j * compared_width_ / across;
        block.y = i * compared_height_ / down;
        block.width = (j + 1) * compared_width_ / across - block.x;
        block.height = (i + 1) * compared_height_ / down - block.y;
        block.pattern_min = {255, 255, 255};
        block.pattern_max = {};
        for (int y = block.y; y < block.y + block.height; ++y) {
          const Pixel* row = pattern.row(y);
          for (int x = block.x; x < block.x + block.width; ++x) {
            for (int c = 0; c < 3; ++c) {
              block.pattern_min[c] = std::min(block.pattern_min[c], channel(row[x], c));
              block.pattern_max[c] = std::max(block.pattern_max[c], channel(row[x], c));
            }
          }
        }
      }
    }
  }
  level_starts_[levels_] = used;
}

void DifferenceBound::cover(const PixelView& pattern, const PixelView& grab, int x0, int y0, int x1,
                            int y1) {
  // Reused by every search of the thread: no allocation once it has grown.
  thread_local std::vector<uint32_t> buffer;
  const size_t pattern_entries = static_cast<size_t>(compared_width_ + 1) * (compared_height_ + 1);
  const size_t grab_entries = static_cast<size_t>(x1 - x0 + 1) * static_cast<size_t>(y1 - y0 + 1);
  if (buffer.size() < (pattern_entries + grab_entries) * 4)
    buffer.resize((pattern_entries + grab_entries) * 4);
  Pixel grab_low = 0, grab_high = 0, pattern_low = 0, pattern_high = 0;
  fill_sums(pattern, 0, 0, compared_width_, compared_height_, buffer.data(), pattern_low,
            pattern_high);
  fill_sums(grab, x0, y0, x1, y1, buffer.data() + pattern_entries * 4, grab_low, grab_high);
  pattern_sums_ = {buffer.data(), compared_width_ + 1};
  grab_sums_ = {buffer.data() + pattern_entries * 4, x1 - x0 + 1};
  x0_ = x0, y0_ = y0, x1_ = x1, y1_ = y1;

  // The largest difference a pixel of a block can have, from the extremes of both sides.
  for (int b = 0; b < level_starts_[levels_]; ++b) {
    Block& block = blocks_[b];
    for (int c = 0; c < 3; ++c) {
      const int largest = std::max(channel(grab_high, c) - block.pattern_min[c],
                                   block.pattern_max[c] - channel(grab_low, c));
      block.most_beyond[c] = largest - tolerance_[c];
      block.reciprocal[c] = block.most_beyond[c] > 0 ? 1.0 / block.most_beyond[c] : 0.0;
    }
  }
  // ceil(excess / most_beyond) > budget exactly when excess > budget * most_beyond.
  alignas(16) uint32_t pattern_sum[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(pattern_sum),
                  box(pattern_sums_, 0, 0, compared_width_, compared_height_));
  const int64_t compared = static_cast<int64_t>(compared_width_) * compared_height_;
  for (int c = 0; c < 3; ++c) {
    whole_pattern_sum_[c] = static_cast<int32_t>(pattern_sum[c]);
    // A limit past the largest difference of sums (below 2^31) never rejects.
    const int64_t limit = blocks_[0].most_beyond[c] > 0
                              ? compared * tolerance_[c] + budget_ * blocks_[0].most_beyond[c]
                              : INT32_MAX;
    whole_limit_[c] = static_cast<int32_t>(std::min<int64_t>(limit, INT32_MAX));
  }
  whole_pattern_sum_[3] = 0;
  whole_limit_[3] = INT32_MAX;
}

int64_t DifferenceBound::block_bound(const Block& block, Point corner) const {
  // The block's pixels within the covered rectangle; the caller counts the others.
  const int left = std::max(corner.x + block.x, x0_), top = std::max(corner.y + block.y, y0_);
  const int right = std::min(corner.x + block.x + block.width, x1_);
  const int bottom = std::min(corner.y + block.y + block.height, y1_);
  if (left >= right || top >= bottom) return 0;
  alignas(16) uint32_t grab[4], pattern[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(grab),
                  box(grab_sums_, left - x0_, top - y0_, right - x0_, bottom - y0_));
  _mm_store_si128(
      reinterpret_cast<__m128i*>(pattern),
      box(pattern_sums_, left - corner.x, top - corner.y, right - corner.x, bottom - corner.y));
  const int64_t pixels = static_cast<int64_t>(right - left) * (bottom - top);
  int64_t bound = 0;
  for (int c = 0; c < 3; ++c) {
    // Pixels within the tolerance move the sum by at most t each, the others by at most
    // most_beyond + t: so at least (|difference| - pixels * t) / most_beyond differ.
    const int64_t difference = static_cast<int64_t>(grab[c]) - static_cast<int64_t>(pattern[c]);
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

bool DifferenceBound::whole_exceeds_budget(Point corner) const {
  const int x = corner.x - x0_, y = corner.y - y0_;
  const __m128i difference =
      _mm_sub_epi32(box(grab_sums_, x, y, x + compared_width_, y + compared_height_),
                    _mm_load_si128(reinterpret_cast<const __m128i*>(whole_pattern_sum_.data())));
  const __m128i sign = _mm_srai_epi32(difference, 31);
  const __m128i magnitude = _mm_sub_epi32(_mm_xor_si128(difference, sign), sign);
  const __m128i limit = _mm_load_si128(reinterpret_cast<const __m128i*>(whole_limit_.data()));
  return _mm_movemask_epi8(_mm_cmpgt_epi32(magnitude, limit)) != 0;
}

bool DifferenceBound::exceeds_budget(Point corner) const {
  if (budget_ < 0) return true;  // no count is below 0
  const int inside_width = std::min(corner.x + compared_width_, x1_) - std::max(corner.x, x0_);
  const int inside_height = std::min(corner.y + compared_height_, y1_) - std::max(corner.y, y0_);
  const int64_t outside =
      static_cast<int64_t>(compared_width_) * compared_height_ -
      static_cast<int64_t>(std::max(inside_width, 0)) * std::max(inside_height, 0);
  // The first level is one block, the whole pattern: without pixels outside, its bound
  // needs no division.
  if (outside == 0 && whole_exceeds_budget(corner)) return true;
  for (int level = outside == 0 ? 1 : 0; level < levels_; ++level) {
    int64_t differing = outside;
    for (int b = level_starts_[level]; b < level_starts_[level + 1]; ++b)
      differing += block_bound(blocks_[b], corner);
    if (differing > budget_) return true;
  }
  return false;
}

}  // namespace tapline::image
