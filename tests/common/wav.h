// WAV files for tests and tools: PCM 8/16/24/32-bit, IEEE float 32/64,
// plain or WAVE_FORMAT_EXTENSIBLE; unknown chunks are skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vxtest {

struct Wav {
  int channels = 0;
  int sample_rate = 0;
  int bits_per_sample = 0;  // 8, 16, 24, 32 (integer) or 32, 64 (float)
  bool is_float = false;
  uint32_t channel_mask = 0;  // from WAVE_FORMAT_EXTENSIBLE, else 0
  // Interleaved samples.  Integer formats keep their exact values (8-bit
  // unsigned data as -128..127); float formats keep the file's values.
  std::vector<int32_t> ints;
  std::vector<double> floats;

  size_t Frames() const;
  // Sample i (interleaved index) with 1.0 = full scale of the format.
  double Normalized(size_t i) const;
};

bool ParseWav(const uint8_t* data, size_t size, Wav* out, std::string* error);
bool ReadWav(const std::string& path, Wav* out, std::string* error);

// Serialises `wav` (integer formats from `ints`, float formats from
// `floats`).  WAVE_FORMAT_EXTENSIBLE is used for more than two channels,
// more than 16 bits or a non-zero channel mask.
std::vector<uint8_t> SerializeWav(const Wav& wav);
bool WriteWav(const std::string& path, const Wav& wav, std::string* error);

// A 16-bit PCM Wav from interleaved samples.
Wav MakeWav16(int channels, int sample_rate, const int16_t* samples, size_t frames);

}  // namespace vxtest
