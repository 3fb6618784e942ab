// The project's accuracy metric.
//
// Our output against a reference, both on the 16-bit scale (1.0 = 32768):
// the reference is clipped to [-32768, 32767] (a 16-bit decoder saturates
// where a float reference exceeds full scale) and the difference is taken
// over all samples of all channels, as RMS and maximum in LSB.  Streams with
// noise substitution cannot match sample for sample; for them the level
// comparison gives, per 1024-sample frame and channel, the difference of
// the RMS levels in dB, ignoring frames where both are near silent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/wav.h"

namespace vxtest {

struct CompareOptions {
  // ours[i] is compared with ref[i + offset] (samples per channel).
  int64_t offset = 0;
  // ref channel used for each of our channels; empty means identity.
  std::vector<int> channel_map;
  int level_frame = 1024;
  // Frames whose levels are both below this are not compared (dB below
  // full scale).
  double silence_db = -60.0;
};

struct CompareResult {
  bool ok = false;    // the inputs could be compared
  std::string error;  // why not
  size_t frames = 0;  // compared samples per channel
  size_t ours_frames = 0;
  size_t ref_frames = 0;
  double rms_lsb = 0.0;
  double max_lsb = 0.0;
  size_t max_frame = 0;  // where the maximum difference is
  int max_channel = 0;
  double worst_level_db = 0.0;  // largest |level difference| of the compared frames
  size_t level_frames = 0;      // frames that entered the level comparison
};

CompareResult Compare(const Wav& ours, const Wav& ref, const CompareOptions& options = {});

// Our interleaved 16-bit output against a reference.
CompareResult Compare16(const int16_t* ours, size_t frames, int channels, const Wav& ref,
                        const CompareOptions& options = {});

// One-line summary: "rms 0.0123 max 1.0000 LSB, level 0.02 dB, 90112 frames".
std::string FormatResult(const CompareResult& r);

}  // namespace vxtest
