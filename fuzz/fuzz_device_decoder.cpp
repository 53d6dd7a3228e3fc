// Datagrams as the software device receives them: any bytes, any length, cut short by
// the receive buffer or not. The decoder must accept exactly the whole frames (as the
// sender builds them) and the device must account for every datagram, printing each
// through both of its printers.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "core/device.h"
#include "core/frame_decoder.h"
#include "print/print_sinks.h"

namespace {

bool frame_is_whole(const uint8_t* data, size_t size) {
  using namespace tapline;
  if (size < kFrameHeadSize || size > device::kLongestFrame) return false;
  if (data[0] != kFrameHeader || data[1] + kFrameHeadSize != size ||
      (data[3] & kUnusedTypeBit) != 0)
    return false;
  uint8_t sum = data[3];
  for (size_t i = kFrameHeadSize; i < size; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  const size_t expected = report_length(type_code(data[3]));  // 0: no such type
  return sum == data[2] && expected != 0 && expected == size - kFrameHeadSize;
}

std::FILE* null_output() {
  static std::FILE* out = std::fopen("/dev/null", "w");
  return out;
}

}  // namespace

// The input is a series of datagrams, each a 16-bit true size followed by its bytes; a
// true size beyond the bytes left (or beyond the receive buffer) is a cut-off datagram.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tapline::device;
  Device device;
  TextSink text(null_output());
  JsonSink json(null_output());
  device.add_sink(text);
  device.add_sink(json);
  uint64_t datagrams = 0;
  size_t pos = 0;
  while (pos + 2 <= size) {
    const size_t true_size = data[pos] | data[pos + 1] << 8;
    pos += 2;
    const size_t kept = std::min({true_size, size - pos, kLongestFrame});
    if (kept < true_size && kept < kLongestFrame) break;  // not enough bytes: the end
    const DecodeResult result = decode_datagram(data + pos, true_size);
    if (result.ok != frame_is_whole(data + pos, true_size)) std::abort();
    if (!result.ok && result.detail[0] == '\0') std::abort();  // a rejection says why
    device.receive(data + pos, kept, true_size, static_cast<double>(datagrams));
    ++datagrams;
    pos += kept;
  }
  device.finish();
  const Counters& counters = device.counters();
  if (counters.datagrams != datagrams || counters.frames + counters.bad_frames != datagrams)
    std::abort();
  return 0;
}
