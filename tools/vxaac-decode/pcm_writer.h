// Writes decoded PCM as WAV or raw samples to a file or stdout.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct PcmFormat {
  int channels = 0;
  int rate = 0;
  int bits = 16;  // 8, 16, 24 or 32
  bool is_float = false;
  uint32_t channel_mask = 0;  // WAV speaker mask, 0 when unknown
};

class PcmWriter {
 public:
  PcmWriter() = default;
  PcmWriter(const PcmWriter&) = delete;
  PcmWriter& operator=(const PcmWriter&) = delete;
  ~PcmWriter();

  // `path` "-" is stdout.  `wav` false writes bare samples.
  bool Open(const std::string& path, bool wav);
  // A later format continues in a new file (PATH-2.EXT, PATH-3.EXT, ...)
  // instead of being refused; not for stdout.
  void SplitFormats() { split_ = true; }
  // The files written so far (the first is the path given to Open).
  const std::vector<std::string>& Files() const { return files_; }
  bool IsOpen() const { return file_ != nullptr; }
  // The format of the samples that follow; the first call writes the WAV
  // header.  A later, different format starts the next file when formats
  // are split, else it is refused (returns false; the file keeps the first
  // one and stays valid).
  bool SetFormat(const PcmFormat& format);
  const PcmFormat& Format() const { return format_; }
  bool HasFormat() const { return has_format_; }
  // Interleaved samples in the format's layout (8-bit signed, 16/24/32-bit
  // little-endian); 8-bit samples become unsigned in WAV files.
  bool Write(const uint8_t* data, size_t bytes);
  // Completes the WAV header when the output can seek; false on I/O errors.
  bool Close();
  uint64_t DataBytes() const { return data_bytes_; }
  const std::string& Error() const { return error_; }

 private:
  bool WriteHeader(uint32_t data_size);
  bool Finish();

  FILE* file_ = nullptr;
  bool owns_file_ = false;
  bool wav_ = true;
  bool has_format_ = false;
  PcmFormat format_;
  uint64_t data_bytes_ = 0;
  uint8_t scratch_[4096];
  std::string error_;
  bool split_ = false;
  std::vector<std::string> files_;
};
