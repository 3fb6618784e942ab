// The two ways vxaac-decode reaches the decoder: elementary streams
// (ADTS, ADIF, LOAS, raw ALS) straight through the codec library, anything else
// through a GStreamer pipeline that ends in the vxaacdec element.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "pcm_writer.h"

struct DecoderSettings {
  int sbr_mode = 18;      // 18 high quality, 28 low power
  int sbr_rate_mode = 1;  // 1 downsampled, 0 full rate
  int ps_mode = 0;        // 0 off, 1 parse, 111 baseline, 411 full
  bool sbr_mode_set = false, sbr_rate_mode_set = false, ps_mode_set = false;
  // ALS: write the original file (stored header and trailer, samples in the
  // file's own form) instead of PCM in WAV order.
  bool restore_original = false;
};

struct DecodeReport {
  std::string container;  // "ADTS", "ADIF", "LOAS", "ALS", or the demuxed caps
  int object_type = 0;
  bool sbr = false;
  bool ps = false;
  int core_rate = 0;
  int in_channels = 0;
  PcmFormat out;
  uint64_t frames = 0;   // decoded frames (output buffers)
  uint64_t samples = 0;  // samples per channel written
  uint64_t errors = 0;   // malformed frames, decoder resets, warnings
  int crc = -1;          // ALS: 1 the samples match the stream's CRC, 0 they do not
  std::string fatal;     // set when the input could not be decoded at all
  std::string notes;     // settings that could not be applied, and the like
};

// Called now and then with the input bytes read so far.
using ProgressFn = std::function<void(uint64_t bytes_read, const DecodeReport&)>;

enum class InputKind { kAdts, kAdif, kAls, kLoas, kOther };

// Recognises an elementary stream from its first bytes (an ID3v2 tag is
// looked through).
InputKind DetectInput(const uint8_t* data, size_t size);
const char* InputKindName(InputKind kind);

// Reads up to n bytes of a stream into the buffer; 0 at its end.
using ReadFn = std::function<size_t(uint8_t* buffer, size_t n)>;

// Decodes an elementary stream: `prefix` (bytes already read) followed by
// what `read` delivers.  The writer may be closed (no output wanted).
void DecodeDirect(const std::vector<uint8_t>& prefix, const ReadFn& read,
                  const DecoderSettings& settings, PcmWriter* writer, DecodeReport* report,
                  const ProgressFn& progress);

// An MP4 file whose first audio track is MPEG-4 ALS without an edit list,
// read as the raw ALS stream it carries: the ALSSpecificConfig of its
// AudioSpecificConfig, then every sample's bytes.  Memory holds the sample
// table, not the samples (the reference encoder writes a whole stream as
// one sample).
class Mp4AlsStream {
 public:
  // False when the file is not such an MP4 file (it then goes through
  // GStreamer).  `in` stays owned by the caller and must outlive the stream.
  bool Open(FILE* in, uint64_t file_size);
  const std::vector<uint8_t>& Header() const { return header_; }
  size_t Read(uint8_t* buffer, size_t n);

 private:
  FILE* in_ = nullptr;
  std::vector<uint8_t> header_;
  struct Run {
    uint64_t offset, size;
  };
  std::vector<Run> runs_;  // consecutive samples joined
  size_t run_ = 0;
  uint64_t done_ = 0;  // bytes of runs_[run_] read
};

// Decodes the file `path` through filesrc ! parsebin ! vxaacdec.
void DecodeWithGStreamer(const std::string& path, const DecoderSettings& settings,
                         PcmWriter* writer, DecodeReport* report, const ProgressFn& progress);

// Counts the samples of a format the output cannot take (the stream
// changed its channels or rate) as errors, with a note on the first.
void FormatRefused(const PcmFormat& kept, const PcmFormat& now, DecodeReport* report);
