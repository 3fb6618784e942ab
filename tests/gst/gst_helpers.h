// Helpers for the element tests: real pipelines and harnesses, never mocks.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vxgst {

// Initialises GStreamer once with the build's plug-in folder.
void EnsureGst();

// Path of a file in tests/data/gst/.
std::string DataPath(const char* name);
std::vector<uint8_t> ReadFile(const std::string& path);

// False only while the element is built without a decoder (it then posts
// "no AAC decoder available"); tests that need decoding skip then.
bool DecoderAvailable();

// True in builds with AddressSanitizer, where external GStreamer programs
// cannot load the instrumented plug-in.
bool SanitizerBuild();

struct Output {
  std::string error;  // first error message on the bus, empty if none
  std::string format;
  int rate = 0;
  int channels = 0;
  uint64_t channel_mask = 0;
  int caps_changes = 0;
  std::vector<uint8_t> pcm;
  std::vector<GstClockTime> pts;
  std::vector<GstClockTime> duration;
  std::vector<uint64_t> offset;
  std::vector<uint64_t> offset_end;
  std::vector<size_t> sizes;
  std::vector<bool> discont;
  bool used_vxaacdec = false;  // the pipeline contained a vxaacdec element

  size_t Frames() const;  // samples per channel
};

// Runs `description` (a gst-launch pipeline without a sink) into an appsink
// until EOS or an error.
Output RunPipeline(const std::string& description);

// Offsets of the ADTS frames of a stream.
std::vector<std::pair<size_t, size_t>> AdtsFrames(const std::vector<uint8_t>& stream);

// Time stamps start at `first` and follow each other without gaps;
// offsets count samples.  Returns an explanation of the first violation.
std::string CheckContinuity(const Output& out, GstClockTime first);

// Parsed caps of a harness or pad.
void ReadCaps(GstCaps* caps, Output* out);

}  // namespace vxgst
