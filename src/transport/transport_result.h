// What a transport operation came to. The transports speak only this; the exported
// functions turn it into their fixed result codes at the edge of the C interface.
#pragma once

namespace tapline {

struct TransportResult {
  enum class Outcome {
    done,     // opened, written, read or sent
    nothing,  // nothing to do it with: no device to write to, no report in time
    failed,   // the device, the socket or the arguments refused it
  };
  Outcome outcome;
  // The bytes moved by a done write or read.
  int bytes = 0;

  static TransportResult done(int bytes = 0) { return {Outcome::done, bytes}; }
  static TransportResult nothing() { return {Outcome::nothing}; }
  static TransportResult failed() { return {Outcome::failed}; }
  bool is_done() const { return outcome == Outcome::done; }
};

// The exported codes: 1 done, 0 nothing done, -1 failed.
inline int status_code(TransportResult result) {
  switch (result.outcome) {
    case TransportResult::Outcome::done:
      return 1;
    case TransportResult::Outcome::nothing:
      return 0;
    case TransportResult::Outcome::failed:
      break;
  }
  return -1;
}

// The exported codes of a write or read: the bytes moved, 0 nothing done, -1 failed.
inline int byte_count_code(TransportResult result) {
  return result.is_done() ? result.bytes : status_code(result);
}

}  // namespace tapline
