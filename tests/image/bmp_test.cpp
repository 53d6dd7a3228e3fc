// The BMP reader and writer: every accepted layout, and files it must refuse.
#include "image/bmp.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "program_run.h"
#include "screen_images.h"
#include "system/file_replace.h"

namespace {

using tapline::image::Bitmap;
using tapline::image::decode_bmp;
using tapline::testing::BmpLayout;
using tapline::testing::Image;
using tapline::testing::make_bmp;

Image test_picture(int width, int height, const std::vector<uint32_t>& colors) {
  Image image(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) image.set(x, y, colors[(x * 7 + y * 3) % colors.size()]);
  return image;
}

void expect_same(const Image& expected, const Bitmap& bitmap) {
  ASSERT_EQ(bitmap.width, expected.width);
  ASSERT_EQ(bitmap.height, expected.height);
  const auto view = bitmap.view();
  for (int y = 0; y < expected.height; ++y)
    for (int x = 0; x < expected.width; ++x)
      ASSERT_EQ(tapline::image::color_of(view.row(y)[x]), expected.get(x, y))
          << "at " << x << "," << y;
}

Bitmap decoded(const std::vector<uint8_t>& bytes) {
  Bitmap bitmap;
  std::string error;
  EXPECT_TRUE(decode_bmp(bytes.data(), bytes.size(), bitmap, error)) << error;
  return bitmap;
}

std::string refusal(const std::vector<uint8_t>& bytes) {
  Bitmap bitmap;
  std::string error;
  const bool ok = decode_bmp(bytes.data(), bytes.size(), bitmap, error);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(bitmap.pixels.empty());
  return error;
}

void set32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = (value >> (8 * i)) & 0xFF;
}

const std::vector<uint32_t> kSaturated = {0x000000, 0xFFFFFF, 0x0000FF, 0x00FF00,
                                          0xFF0000, 0xFFFF00, 0x00FFFF, 0xFF00FF};

TEST(BmpRead, EveryPixelDepthAndRowOrder) {
  // Odd widths exercise the row padding of every depth.
  for (int width : {1, 3, 5, 9, 33}) {
    SCOPED_TRACE(width);
    const Image two = test_picture(width, 4, {0x123456, 0xFEDCBA});
    expect_same(two, decoded(make_bmp(two, {.bits = 1})));
    const Image sixteen =
        test_picture(width, 5, {0x010203, 0x102030, 0xA0B0C0, 0xFF0000, 0x00FF00});
    expect_same(sixteen, decoded(make_bmp(sixteen, {.bits = 4})));
    expect_same(sixteen, decoded(make_bmp(sixteen, {.bits = 8})));
    expect_same(sixteen, decoded(make_bmp(sixteen, {.bits = 8, .top_down = true})));
    expect_same(sixteen, decoded(make_bmp(sixteen, {.bits = 24})));
    expect_same(sixteen, decoded(make_bmp(sixteen, {.bits = 24, .top_down = true})));
    // The fourth byte of a plain 32-bit pixel is ignored.
    expect_same(sixteen, decoded(make_bmp(sixteen, {.bits = 32})));
    expect_same(sixteen, decoded(make_bmp(sixteen, {.bits = 32, .top_down = true})));
    const Image saturated = test_picture(width, 3, kSaturated);
    expect_same(saturated, decoded(make_bmp(saturated, {.bits = 16})));
  }
}

TEST(BmpRead, BitFieldsAndCoreHeader) {
  const Image saturated = test_picture(7, 4, kSaturated);
  expect_same(saturated,
              decoded(make_bmp(
                  saturated, {.bits = 16, .bit_fields = true, .masks = {0xF800, 0x07E0, 0x001F}})));
  // Red and blue swapped places in the pixel.
  const Image colors = test_picture(5, 3, {0x123456, 0xABCDEF, 0x0F1E2D});
  expect_same(
      colors,
      decoded(make_bmp(
          colors,
          {.bits = 32, .top_down = true, .bit_fields = true, .masks = {0xFF, 0xFF00, 0xFF0000}})));
  expect_same(colors, decoded(make_bmp(colors, {.bits = 8, .core_header = true})));
  expect_same(colors, decoded(make_bmp(colors, {.bits = 24, .core_header = true})));
}

TEST(BmpRead, NarrowChannelsReachFullRange) {
  // 5-bit red 16 and 6-bit green 32 widen by repeating their bits.
  Image one(1, 1, 0x000000);
  auto bytes = make_bmp(one, {.bits = 16, .bit_fields = true, .masks = {0xF800, 0x07E0, 0x001F}});
  const size_t pixel = bytes.size() - 4;
  const uint16_t raw = (16 << 11) | (32 << 5) | 31;
  bytes[pixel] = raw & 0xFF, bytes[pixel + 1] = raw >> 8;
  EXPECT_EQ(tapline::image::color_of(decoded(bytes).pixels[0]),
            0x84u | (0x82u << 8) | (0xFFu << 16));
}

TEST(BmpRead, MalformedFilesAreRefused) {
  const Image image = test_picture(6, 4, {0x102030, 0x405060});
  const auto good = make_bmp(image, {.bits = 24});
  const auto indexed = make_bmp(image, {.bits = 8});

  EXPECT_FALSE(refusal({}).empty());
  EXPECT_FALSE(refusal({good.begin(), good.begin() + 20}).empty());  // header cut short
  EXPECT_FALSE(refusal({good.begin(), good.end() - 20}).empty());    // pixels cut short
  auto bytes = good;
  bytes[0] = 'X';
  EXPECT_FALSE(refusal(bytes).empty());
  bytes = good, set32(bytes, 14, 41);  // unknown header size
  EXPECT_FALSE(refusal(bytes).empty());
  for (uint32_t width : {0u, 0xFFFFFFFFu}) {
    bytes = good, set32(bytes, 18, width);
    EXPECT_FALSE(refusal(bytes).empty());
  }
  for (uint32_t height : {0u, 0x80000000u}) {
    bytes = good, set32(bytes, 22, height);
    EXPECT_FALSE(refusal(bytes).empty());
  }
  // Dimensions whose pixels would need more than 256 MiB, before any array check.
  bytes = good, set32(bytes, 18, 10000), set32(bytes, 22, 10000);
  EXPECT_EQ(refusal(bytes), "BMP picture too large");
  bytes = good, set32(bytes, 18, 0x7FFFFFFF), set32(bytes, 22, 0x7FFFFFFF);
  EXPECT_EQ(refusal(bytes), "BMP picture too large");
  bytes = good, set32(bytes, 10, 0xFFFFFFF0);  // pixel array offset past the end
  EXPECT_FALSE(refusal(bytes).empty());
  bytes = good, set32(bytes, 30, 1);  // run-length compression
  EXPECT_FALSE(refusal(bytes).empty());
  bytes = good, bytes[28] = 2;  // 2 bits per pixel
  EXPECT_FALSE(refusal(bytes).empty());
  bytes = good, bytes[26] = 3;  // planes
  EXPECT_FALSE(refusal(bytes).empty());
  // A colour table running past the end of the file.
  bytes = indexed;
  bytes.resize(14 + 40 + 100);
  EXPECT_FALSE(refusal(bytes).empty());
  // Bit fields whose masks are not one run of bits.
  EXPECT_FALSE(
      refusal(make_bmp(image, {.bits = 32, .bit_fields = true, .masks = {0xF0F000, 0xFF00, 0xFF}}))
          .empty());
}

TEST(BmpRead, CorruptedFilesNeverCrash) {
  std::mt19937 random(7);
  const Image image = test_picture(13, 9, {0x102030, 0x405060, 0x708090});
  const std::vector<std::vector<uint8_t>> originals = {
      make_bmp(image, {.bits = 1}),
      make_bmp(image, {.bits = 4}),
      make_bmp(image, {.bits = 8}),
      make_bmp(image, {.bits = 16}),
      make_bmp(image, {.bits = 24}),
      make_bmp(image, {.bits = 32}),
      make_bmp(image, {.bits = 8, .core_header = true})};
  for (int round = 0; round < 3000; ++round) {
    auto bytes = originals[round % originals.size()];
    const int changes = 1 + random() % 4;
    for (int i = 0; i < changes; ++i)
      bytes[random() % std::min<size_t>(bytes.size(), 80)] = random() & 0xFF;
    if (random() % 3 == 0) bytes.resize(random() % bytes.size());
    Bitmap bitmap;
    std::string error;
    if (decode_bmp(bytes.data(), bytes.size(), bitmap, error)) {
      EXPECT_EQ(bitmap.pixels.size(), static_cast<size_t>(bitmap.width) * bitmap.height);
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
}

TEST(BmpFiles, ReadRefusesWhatIsNoPicture) {
  tapline::testing::TempDir dir;
  Bitmap bitmap;
  std::string error;
  EXPECT_FALSE(tapline::image::read_bmp(dir.file("missing.bmp").c_str(), bitmap, error));
  EXPECT_FALSE(tapline::image::read_bmp(dir.file("").c_str(), bitmap, error));  // a directory
  const auto text = dir.write("text.bmp", std::string("hello"));
  EXPECT_FALSE(tapline::image::read_bmp(text.c_str(), bitmap, error));
  const Image image = test_picture(4, 4, kSaturated);
  const auto path = dir.write("good.bmp", make_bmp(image));
  ASSERT_TRUE(tapline::image::read_bmp(path.c_str(), bitmap, error)) << error;
  expect_same(image, bitmap);
}

TEST(BmpFiles, WrittenPictureReadsBackAndReplacesTheOldFile) {
  tapline::testing::TempDir dir;
  const Image image = test_picture(7, 3, {0x123456, 0x654321, 0xFFFFFF});
  std::vector<uint8_t> bytes;
  tapline::image::encode_bmp24(image.view(), bytes);
  // 24 bits, bottom-up, rows padded to 4 bytes: 7 * 3 = 21 -> 24 bytes a row.
  ASSERT_EQ(bytes.size(), 54u + 24u * 3u);
  EXPECT_EQ(bytes[28], 24);
  EXPECT_EQ(bytes[22], 3);  // positive height: bottom-up

  const std::string path = dir.write("shot.bmp", std::string("old"));
  std::string error;
  ASSERT_TRUE(tapline::system::write_file_replacing(path.c_str(), bytes, error)) << error;
  Bitmap bitmap;
  ASSERT_TRUE(tapline::image::read_bmp(path.c_str(), bitmap, error)) << error;
  expect_same(image, bitmap);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("")), {}), 1)
      << "no temporary file is left behind";

  EXPECT_FALSE(
      tapline::system::write_file_replacing(dir.file("no/such/dir.bmp").c_str(), bytes, error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
