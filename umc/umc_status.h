// Status codes of the codec framework: 0 success, negative failure.
#pragma once

#include <cstdint>

namespace UMC {

using Status = int32_t;

enum : Status {
  StatusOk = 0,
  StatusOutOfRange = -999,      // size or offset outside a buffer, unknown allocator id
  StatusNotInitialized = -998,  // operation on a codec or descriptor without its state
  StatusNotEnoughData = -996,   // call again with more input
  StatusNullPointer = -995,     // a required pointer is null
  StatusInitFailed = -899,      // configuration unreadable, allocator mismatch
  StatusUnsupportedStream = -897,
  StatusNotEnoughBuffer = -896,  // call again with more output space
  StatusAllocFailed = -883,      // memory could not be obtained or locked
  StatusInvalidStream = -882,    // malformed frame or header, CRC mismatch
  StatusFailed = -879,           // stream not recognised or unsupported
  StatusNotImplemented = -878,   // operation not provided by this class
  StatusInvalidParams = -876,    // inconsistent parameters
};

// The two statuses that ask the caller to come back with more input or
// more output space rather than report an error.
inline bool StatusIsRetry(Status s) {
  return s == StatusNotEnoughData || s == StatusNotEnoughBuffer;
}

}  // namespace UMC
