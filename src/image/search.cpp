#include "image/search.h"

#include <emmintrin.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "image/difference_bound.h"

namespace tapline::image {
namespace {

inline __m128i load4(const Pixel* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
// One bit per pixel of the four, set where the 32-bit lanes of `lanes` are all ones.
inline int lane_bits(__m128i lanes) { return _mm_movemask_ps(_mm_castsi128_ps(lanes)); }

// True when the colours of `count` grab pixels equal `count` pattern pixels (whose ignored
// byte is 0).
bool colors_equal(const Pixel* grab, const Pixel* pattern, int count) {
  const __m128i mask = _mm_set1_epi32(kPixelColorMask);
  int i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m128i equal = _mm_cmpeq_epi32(_mm_and_si128(load4(grab + i), mask), load4(pattern + i));
    if (_mm_movemask_epi8(equal) != 0xFFFF) return false;
  }
  for (; i < count; ++i)
    if ((grab[i] & kPixelColorMask) != pattern[i]) return false;
  return true;
}

// How many of `count` grab pixels differ from their pattern pixels by more than the
// tolerance in some channel. `tolerance` holds the allowed difference per byte (blue,
// green, red) and 0xFF in the ignored byte.
int count_differing(const Pixel* grab, const Pixel* pattern, int count, Pixel tolerance) {
  const __m128i allowed = _mm_set1_epi32(static_cast<int>(tolerance));
  const __m128i zero = _mm_setzero_si128();
  auto within = [&](__m128i s, __m128i p) {
    const __m128i distance = _mm_or_si128(_mm_subs_epu8(s, p), _mm_subs_epu8(p, s));
    return _mm_cmpeq_epi32(_mm_subs_epu8(distance, allowed), zero);
  };
  // Lanes count the pixels within tolerance (each match adds -(-1)).
  __m128i matching = zero;
  int i = 0;
  for (; i + 4 <= count; i += 4)
    matching = _mm_sub_epi32(matching, within(load4(grab + i), load4(pattern + i)));
  alignas(16) int32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), matching);
  int matched = lanes[0] + lanes[1] + lanes[2] + lanes[3];
  // The last few pixels one at a time, in the low lane.
  for (; i < count; ++i) {
    const __m128i s = _mm_cvtsi32_si128(static_cast<int>(grab[i]));
    const __m128i p = _mm_cvtsi32_si128(static_cast<int>(pattern[i]));
    matched += lane_bits(within(s, p)) & 1;
  }
  return count - matched;
}

bool exact_match_at(const PixelView& grab, const PixelView& pattern, int x, int y) {
  const int compared_width = pattern.width - 1, compared_height = pattern.height - 1;
  for (int i = 0; i < compared_height; ++i)
    if (!colors_equal(grab.row(y + i) + x, pattern.row(i), compared_width)) return false;
  return true;
}

// The compared pattern pixel whose colour looks rarest in the part of the grab the
// search reads, judged from a sample of both. Every passing corner matches all its
// compared pixels, so keying candidates on any one of them finds the same first corner;
// a rare one leaves few corners to compare in full.
struct KeyPixel {
  int x = 0;
  int y = 0;
  Pixel pixel = 0;
};

KeyPixel rarest_pixel(const PixelView& grab, const PixelView& pattern, int x_begin, int x_end,
                      int y_begin, int y_end) {
  const int compared_width = pattern.width - 1, compared_height = pattern.height - 1;
  // The pattern's distinct colours (the first 1024 met), each with where it was first
  // met, in a hash table kept at most a quarter full.
  constexpr int kMaxColors = 1024;
  constexpr uint32_t kSlots = 4096;
  constexpr Pixel kEmpty = 0xFFFFFFFF;  // no colour has its ignored byte set
  Pixel colors[kSlots];
  uint32_t counts[kSlots] = {};
  Point places[kSlots];
  std::fill(std::begin(colors), std::end(colors), kEmpty);
  auto slot_of = [&colors](Pixel color) {
    uint32_t slot = (color * 0x9E3779B1u) >> 20;
    while (colors[slot] != kEmpty && colors[slot] != color) slot = (slot + 1) & (kSlots - 1);
    return slot;
  };
  uint32_t order[kMaxColors];
  int distinct = 0;
  for (int i = 0; i < compared_height && distinct < kMaxColors; ++i) {
    const Pixel* row = pattern.row(i);
    for (int j = 0; j < compared_width && distinct < kMaxColors; ++j) {
      const uint32_t slot = slot_of(row[j]);
      if (colors[slot] != kEmpty) continue;
      colors[slot] = row[j];
      places[slot] = {j, i};
      order[distinct++] = slot;
    }
  }

  // About 8192 grab pixels, spread over the rows and columns the key may fall on.
  const int rows = y_end - y_begin + compared_height - 1;
  const int columns = x_end - x_begin + compared_width - 1;
  const int sample_step_y = std::max(1, rows / 32), sample_step_x = std::max(1, columns / 256);
  for (int y = y_begin; y < y_begin + rows; y += sample_step_y) {
    const Pixel* row = grab.row(y);
    for (int x = x_begin; x < x_begin + columns; x += sample_step_x) {
      const Pixel color = row[x] & kPixelColorMask;
      const uint32_t slot = slot_of(color);
      if (colors[slot] == color) ++counts[slot];
    }
  }

  // The fewest sampled; among equals the one met first (the top-left pixel leads).
  uint32_t best = order[0];
  for (int k = 1; k < distinct; ++k)
    if (counts[order[k]] < counts[best]) best = order[k];
  return {places[best].x, places[best].y, colors[best]};
}

}  // namespace

size_t find_pixel(const Pixel* pixels, size_t count, Pixel target) {
  const __m128i mask = _mm_set1_epi32(kPixelColorMask);
  const __m128i wanted = _mm_set1_epi32(static_cast<int>(target));
  size_t i = 0;
  // Sixteen pixels a round: the loads dominate, one branch for four of them.
  for (; i + 16 <= count; i += 16) {
    const __m128i a = _mm_cmpeq_epi32(_mm_and_si128(load4(pixels + i), mask), wanted);
    const __m128i b = _mm_cmpeq_epi32(_mm_and_si128(load4(pixels + i + 4), mask), wanted);
    const __m128i c = _mm_cmpeq_epi32(_mm_and_si128(load4(pixels + i + 8), mask), wanted);
    const __m128i d = _mm_cmpeq_epi32(_mm_and_si128(load4(pixels + i + 12), mask), wanted);
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) {
      const unsigned bits = static_cast<unsigned>(lane_bits(a) | (lane_bits(b) << 4) |
                                                  (lane_bits(c) << 8) | (lane_bits(d) << 12));
      return i + static_cast<size_t>(std::countr_zero(bits));
    }
  }
  for (; i + 4 <= count; i += 4) {
    const int bits = lane_bits(_mm_cmpeq_epi32(_mm_and_si128(load4(pixels + i), mask), wanted));
    if (bits != 0) return i + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(bits)));
  }
  for (; i < count; ++i)
    if ((pixels[i] & kPixelColorMask) == target) return i;
  return count;
}

size_t find_other_pixel(const Pixel* pixels, size_t count, Pixel target) {
  const __m128i mask = _mm_set1_epi32(kPixelColorMask);
  const __m128i wanted = _mm_set1_epi32(static_cast<int>(target));
  size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const int bits = lane_bits(_mm_cmpeq_epi32(_mm_and_si128(load4(pixels + i), mask), wanted));
    if (bits != 0xF) return i + static_cast<size_t>(std::countr_one(static_cast<unsigned>(bits)));
  }
  for (; i < count; ++i)
    if ((pixels[i] & kPixelColorMask) != target) return i;
  return count;
}

std::optional<Point> find_color(const PixelView& grab, int64_t color, SearchRegion region) {
  // Pixels hold 24-bit colours only.
  if (color < 0 || color > kPixelColorMask || region.x1 >= region.x2) return std::nullopt;
  const Pixel target = pixel_of(static_cast<ColorValue>(color));
  const size_t width = static_cast<size_t>(region.x2 - region.x1);
  for (int y = region.y1; y < region.y2; ++y) {
    const size_t found = find_pixel(grab.row(y) + region.x1, width, target);
    if (found < width) return Point{region.x1 + static_cast<int>(found), y};
  }
  return std::nullopt;
}

std::optional<Point> find_pattern_exact(const PixelView& grab, const PixelView& pattern,
                                        SearchRegion region) {
  if (pattern.empty() || grab.empty()) return std::nullopt;
  const Pixel anchor = pattern.row(0)[0];
  // Room test: the pattern's full height must fit below the corner within the grab.
  const int y_end = std::min(region.y2, grab.height - pattern.height + 1);
  if (pattern.width < 2 || pattern.height < 2) {
    // Nothing is compared: the first anchor-coloured pixel with room is the corner.
    const SearchRegion with_room{region.x1, region.y1, region.x2, y_end};
    return find_color(grab, color_of(anchor), with_room);
  }
  // A corner whose compared columns reach past the grab cannot pass either.
  const int compared_width = pattern.width - 1;
  const int x_end = std::min(region.x2, grab.width - compared_width + 1);
  if (region.x1 >= x_end || region.y1 >= y_end) return std::nullopt;

  const KeyPixel key = rarest_pixel(grab, pattern, region.x1, x_end, region.y1, y_end);
  const size_t width = static_cast<size_t>(x_end - region.x1);
  for (int y = region.y1; y < y_end; ++y) {
    const Pixel* keys = grab.row(y + key.y) + key.x + region.x1;
    size_t x = 0;
    while (x < width) {
      x += find_pixel(keys + x, width - x, key.pixel);
      if (x >= width) break;
      const int corner_x = region.x1 + static_cast<int>(x);
      if (exact_match_at(grab, pattern, corner_x, y)) return Point{corner_x, y};
      ++x;
    }
  }
  return std::nullopt;
}

BufferedText::BufferedText(std::FILE* stream) : stream_(stream), buffer_(1 << 16) {}

BufferedText::~BufferedText() { flush(); }

void BufferedText::append(const char* text, size_t length) {
  if (used_ + length > buffer_.size()) {
    flush();
    if (length > buffer_.size()) {
      std::fwrite(text, 1, length, stream_);
      return;
    }
  }
  std::memcpy(buffer_.data() + used_, text, length);
  used_ += length;
}

void BufferedText::flush() {
  if (used_ > 0) std::fwrite(buffer_.data(), 1, used_, stream_);
  used_ = 0;
}

namespace {

// The candidate scans of the exact search with their texts; candidates are the grab's
// pixels of the anchor colour.
class ProgressScans {
 public:
  ProgressScans(const PixelView& grab, Pixel anchor, BufferedText& out)
      : grab_(grab), anchor_(anchor), out_(out) {}

  void text(const char* literal) { out_.append(literal, std::strlen(literal)); }

  // One candidate scan over columns x_begin .. x_end - 1 of rows y_begin .. y_end - 1.
  std::optional<Point> scan(int x_begin, int x_end, int y_begin, int y_end) {
    text(kScanText);
    for (int y = y_begin; y < y_end; ++y) {
      use_row(y);
      out_.append(row_text_, row_text_length_);
      if (x_begin >= x_end) continue;
      const size_t width = static_cast<size_t>(x_end - x_begin);
      const size_t found = find_pixel(grab_.row(y) + x_begin, width, anchor_);
      if (found < width) return Point{x_begin + static_cast<int>(found), y};
    }
    return std::nullopt;
  }

  // The repeated scans of the rest of candidate c's row: one scan per further candidate
  // up to `result` when it lies there (true), else one per further candidate and a last
  // one that finds none (false). Runs of candidates are counted, not scanned one by one.
  bool rest_of_row(Point c, int x_end, const std::optional<Point>& result) {
    const bool reached = result && result->y == c.y && result->x > c.x && result->x < x_end;
    const int stop = reached ? result->x + 1 : x_end;
    const Pixel* row = grab_.row(c.y);
    size_t scans = reached ? 0 : 1;
    for (int x = c.x + 1; x < stop;) {
      x += static_cast<int>(find_pixel(row + x, static_cast<size_t>(stop - x), anchor_));
      if (x >= stop) break;
      const int run =
          static_cast<int>(find_other_pixel(row + x, static_cast<size_t>(stop - x), anchor_));
      scans += static_cast<size_t>(run);
      x += run;
    }
    write_scans(c.y, scans);
    return reached;
  }

 private:
  static constexpr const char* kScanText = "GetBmpPixel\n ";
  static constexpr int kBlockScans = 64;

  void use_row(int y) {
    if (y == row_) return;
    row_ = y;
    row_text_length_ =
        static_cast<size_t>(std::snprintf(row_text_, sizeof row_text_, "y1=%d\n", y));
    block_length_ = 0;
  }

  // `count` scans of one row that each end at once: their texts, copied in blocks.
  void write_scans(int y, size_t count) {
    use_row(y);
    if (block_length_ == 0) {
      const size_t scan_length = std::strlen(kScanText);
      for (int i = 0; i < kBlockScans; ++i) {
        std::memcpy(block_ + block_length_, kScanText, scan_length);
        std::memcpy(block_ + block_length_ + scan_length, row_text_, row_text_length_);
        block_length_ += scan_length + row_text_length_;
      }
    }
    const size_t one = block_length_ / kBlockScans;
    for (; count >= kBlockScans; count -= kBlockScans) out_.append(block_, block_length_);
    out_.append(block_, one * count);
  }

  const PixelView& grab_;
  Pixel anchor_;
  BufferedText& out_;
  int row_ = INT_MIN;
  char row_text_[24] = {};
  size_t row_text_length_ = 0;
  char block_[kBlockScans * 40] = {};
  size_t block_length_ = 0;
};

bool same(const std::optional<Point>& a, const std::optional<Point>& b) {
  return a && b && a->x == b->x && a->y == b->y;
}

}  // namespace

void write_exact_progress(const PixelView& grab, Pixel anchor, SearchRegion region,
                          std::optional<Point> result, BufferedText& out) {
  // The search's steps replayed: each candidate before the result failed its comparison.
  ProgressScans scans(grab, anchor, out);
  scans.text("FindFirstPoint0\n  ");
  std::optional<Point> c = scans.scan(region.x1, region.x2, region.y1, region.y2);
  if (!c) return;
  scans.text("Compare \n");
  if (same(c, result)) return;
  int r = c->y;
  scans.text("FindFirstPoint1 \n");
  if (scans.rest_of_row(*c, region.x2, result)) return;
  scans.text("FindFirstPoint2 \n");
  for (;;) {
    c = scans.scan(region.x1, region.x2, r + 1, region.y2);
    if (!c || same(c, result)) return;
    r = c->y;
    scans.text("FindFirstPoint3 ");
    if (scans.rest_of_row(*c, region.x2, result)) return;
  }
}

PatternAnchor tolerant_anchor(const PixelView& pattern) {
  if (pattern.width >= 2)
    for (int i = 0; i + 1 < pattern.height; ++i)
      if (pattern.row(i)[0] != 0) return {0, i, pattern.row(i)[0]};
  return {0, 0, pattern.empty() ? 0 : pattern.row(0)[0]};
}

int64_t difference_budget(SearchRegion region, int64_t percent) {
  if (region.x2 <= region.x1 || region.y2 <= region.y1) return 0;  // no candidates at all
  const int64_t area = static_cast<int64_t>(region.x2 - region.x1) * (region.y2 - region.y1);
  const int64_t limited = std::clamp<int64_t>(percent, INT32_MIN, INT32_MAX);
  return area * limited / 100;
}

std::optional<Point> find_pattern_tolerant(const PixelView& grab, const PixelView& pattern,
                                           SearchRegion region, int64_t budget,
                                           uint32_t tolerance) {
  if (pattern.empty() || grab.empty() || region.x1 >= region.x2) return std::nullopt;
  const PatternAnchor anchor = tolerant_anchor(pattern);
  const Pixel allowed = pixel_of(tolerance & kPixelColorMask) | ~kPixelColorMask;
  const int compared_width = std::max(0, pattern.width - 1);
  const int compared_height = std::max(0, pattern.height - 1);

  // Counting a failing corner's pixels costs up to the budget. Once the search has counted
  // twice as many pixels as summing the channels of its whole area would take, it sums the
  // rest of its area and rejects corners whose sums alone show too many differences.
  constexpr int64_t kCountedPerSummed = 2;
  const int sums_x_end = std::min(grab.width, region.x2 - 1 + compared_width);
  const int sums_y_end = std::min(grab.height, region.y2 - 1 - anchor.y + compared_height);
  const int64_t sums_area = static_cast<int64_t>(std::max(0, sums_x_end - region.x1)) *
                            std::max(0, sums_y_end - std::max(0, region.y1 - anchor.y));
  std::optional<DifferenceBound> bound;
  int64_t counted = 0;
  int bounded_from = INT_MAX;  // the first corner row the bounds apply to
  auto start_bounding = [&](int corner_y) {
    bound.emplace(pattern, allowed, budget);
    // Rows above the grab are outside the sums, as they are outside the grab.
    const int y0 = std::max(corner_y, 0);
    if (!bound->usable() || y0 >= sums_y_end) return;
    bound->cover(pattern, grab, region.x1, y0, sums_x_end, sums_y_end);
    bounded_from = corner_y;
  };

  auto passes = [&](int corner_x, int corner_y) {
    if (static_cast<uint32_t>(grab.height - corner_y) < static_cast<uint32_t>(pattern.height))
      return false;
    // Compared columns past the grab's right edge always differ.
    const int inside = std::clamp(grab.width - corner_x, 0, compared_width);
    if (corner_y >= bounded_from && bound->exceeds_budget({corner_x, corner_y})) return false;
    int64_t differing = 0;
    for (int i = 0; i < compared_height; ++i) {
      const int y = corner_y + i;
      if (y < 0 || y >= grab.height) {
        differing += compared_width;
      } else {
        differing += compared_width - inside;
        differing += count_differing(grab.row(y) + corner_x, pattern.row(i), inside, allowed);
        counted += inside;
      }
      if (differing > budget) return false;
    }
    return differing <= budget;
  };

  const size_t width = static_cast<size_t>(region.x2 - region.x1);
  for (int y = region.y1; y < region.y2; ++y) {
    const Pixel* row = grab.row(y) + region.x1;
    size_t x = 0;
    while (x < width) {
      // Where candidates come in runs (a flat screen), the next is often the next pixel.
      if ((row[x] & kPixelColorMask) != anchor.pixel)
        x += find_pixel(row + x, width - x, anchor.pixel);
      if (x >= width) break;
      const int corner_x = region.x1 + static_cast<int>(x) - anchor.x;
      const int corner_y = y - anchor.y;
      if (!bound && counted > kCountedPerSummed * sums_area) start_bounding(corner_y);
      if (passes(corner_x, corner_y)) return Point{corner_x, corner_y};
      ++x;
    }
  }
  return std::nullopt;
}

std::optional<NearMiss> nearest_miss(const PixelView& grab, const PixelView& pattern,
                                     SearchRegion region, PatternAnchor anchor, uint32_t tolerance,
                                     int64_t max_candidates) {
  if (pattern.empty() || grab.empty()) return std::nullopt;
  const int compared_width = std::max(0, pattern.width - 1);
  const int compared_height = std::max(0, pattern.height - 1);
  const Pixel allowed = pixel_of(tolerance & kPixelColorMask) | ~kPixelColorMask;
  const int x_end = std::min(region.x2, grab.width), y_end = std::min(region.y2, grab.height);
  std::optional<NearMiss> best;
  int64_t candidates = 0;
  for (int y = std::max(region.y1, 0); y < y_end; ++y) {
    const Pixel* row = grab.row(y);
    for (int x = std::max(region.x1, 0); x < x_end; ++x) {
      if ((row[x] & kPixelColorMask) != anchor.pixel) continue;
      const Point corner{x - anchor.x, y - anchor.y};
      if (static_cast<uint32_t>(grab.height - corner.y) < static_cast<uint32_t>(pattern.height))
        continue;
      if (candidates++ == max_candidates) {
        if (best) best->capped = true;
        return best;
      }
      // Counting stops once this corner cannot beat the best so far.
      const int inside = std::clamp(grab.width - corner.x, 0, compared_width);
      const int left_out = corner.x < 0 ? std::min(-corner.x, compared_width) : 0;
      int64_t differing = 0;
      for (int i = 0; i < compared_height && (!best || differing < best->differing); ++i) {
        const int grab_y = corner.y + i;
        if (grab_y < 0 || grab_y >= grab.height) {
          differing += compared_width;
          continue;
        }
        differing += compared_width - inside + left_out;
        if (inside > left_out) {
          differing += count_differing(grab.row(grab_y) + corner.x + left_out,
                                       pattern.row(i) + left_out, inside - left_out, allowed);
        }
      }
      if (!best || differing < best->differing) {
        best = NearMiss{corner, differing, static_cast<int64_t>(compared_width) * compared_height,
                        false};
      }
    }
  }
  return best;
}

std::optional<Point> nearest_color(const PixelView& grab, int64_t color, SearchRegion region) {
  const ColorValue target = static_cast<ColorValue>(color) & kPixelColorMask;
  const int x_end = std::min(region.x2, grab.width), y_end = std::min(region.y2, grab.height);
  std::optional<Point> best;
  int best_distance = INT_MAX;
  for (int y = std::max(region.y1, 0); y < y_end; ++y) {
    const Pixel* row = grab.row(y);
    for (int x = std::max(region.x1, 0); x < x_end; ++x) {
      const ColorValue value = color_of(row[x]);
      int distance = 0;
      for (int shift = 0; shift < 24; shift += 8) {
        distance = std::max(distance, std::abs(static_cast<int>((value >> shift) & 0xFF) -
                                               static_cast<int>((target >> shift) & 0xFF)));
      }
      if (distance < best_distance) best = Point{x, y}, best_distance = distance;
    }
  }
  return best;
}

}  // namespace tapline::image
