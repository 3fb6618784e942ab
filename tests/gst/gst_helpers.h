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
  bool used_vxaacdec = false;         // the pipeline contained a vxaacdec element
  std::vector<std::string> elements;  // factory names of its elements (RunPipeline)

  size_t Frames() const;  // samples per channel
};

// Runs `description` (a gst-launch pipeline without a sink) into an appsink
// until EOS or an error.
Output RunPipeline(const std::string& description);

// Appends one appsink sample to `out` (caps changes are counted through
// `last_caps`).
void AppendSample(GstSample* sample, Output* out, std::string* last_caps);

// A run with one seek: the pipeline (with an appsink named "vxsink") is
// prerolled (or played for `play_before` buffers), seeked and played to EOS.
struct SeekRun {
  bool seek_handled = false;
  Output before;                      // buffers pulled before the seek
  Output after;                       // every buffer after the seek
  GstSegment segment;                 // the segment of the first buffer after the seek
  std::vector<std::string> warnings;  // WARNING messages of the whole run
};
SeekRun RunWithSeek(GstElement* pipeline, GstSeekFlags flags, GstClockTime start,
                    GstClockTime stop = GST_CLOCK_TIME_NONE, size_t play_before = 0);

// gst_parse_launch of `description` followed by an appsink named "vxsink".
GstElement* LaunchWithAppsink(const std::string& description);
// playbin on a local file, audio into an appsink named "vxsink".
GstElement* PlaybinWithAppsink(const std::string& path);

// Offsets of the ADTS frames of a stream.
std::vector<std::pair<size_t, size_t>> AdtsFrames(const std::vector<uint8_t>& stream);

// Time stamps start at `first` and follow each other without gaps, each the
// (rounded) time of the samples before it; offsets count samples from the
// sample position of `first`.  Returns an explanation of the first
// violation.
std::string CheckContinuity(const Output& out, GstClockTime first);

// Parsed caps of a harness or pad.
void ReadCaps(GstCaps* caps, Output* out);

}  // namespace vxgst
