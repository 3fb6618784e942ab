#include "pcm_writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Put16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
  Put16(v, x & 0xFFFF);
  Put16(v, x >> 16);
}

// Writes of at least this many bytes (a frame of 16-bit stereo or more) go
// straight to the file descriptor: through the stdio buffer, every other
// frame would be copied into it first, which cost an eighth of a decode to
// /dev/null.
constexpr size_t kDirectWriteBytes = 4096;

bool WriteAll(int fd, const uint8_t* data, size_t bytes) {
  while (bytes > 0) {
    const ssize_t n = ::write(fd, data, bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    bytes -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

PcmWriter::~PcmWriter() {
  Close();
}

bool PcmWriter::Open(const std::string& path, bool wav) {
  wav_ = wav;
  if (path == "-") {
    file_ = stdout;
    owns_file_ = false;
  } else {
    file_ = std::fopen(path.c_str(), "wb");
    owns_file_ = true;
    if (!file_) error_ = "cannot create " + path;
  }
  if (file_) files_.push_back(path);
  return file_ != nullptr;
}

namespace {

// PATH-n.EXT for part n of PATH.EXT.
std::string PartName(const std::string& path, size_t n) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const size_t at =
      dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : path.size();
  return path.substr(0, at) + "-" + std::to_string(n) + path.substr(at);
}

}  // namespace

bool PcmWriter::SetFormat(const PcmFormat& f) {
  if (has_format_) {
    if (f.channels == format_.channels && f.rate == format_.rate && f.bits == format_.bits &&
        f.is_float == format_.is_float)
      return true;
    if (!split_ || !owns_file_) return false;  // not a write error: the file stays valid
    const std::string next = PartName(files_.front(), files_.size() + 1);
    const bool wav = wav_;
    if (!Finish() || !Open(next, wav)) return false;
    has_format_ = false;
    data_bytes_ = 0;
  }
  // WAV counts channels and bytes per sample frame in 16 bits.
  if (wav_ && int64_t{f.channels} * (f.bits / 8) > 0xFFFF) {
    error_ = "WAV cannot hold " + std::to_string(f.channels) + " channels of " +
             std::to_string(f.bits) + " bits; use --raw";
    return false;
  }
  format_ = f;
  has_format_ = true;
  return !wav_ || WriteHeader(0xFFFFFFFFu);  // streaming size until Close
}

// PCM or IEEE float; WAVE_FORMAT_EXTENSIBLE above two channels or 16 bits.
bool PcmWriter::WriteHeader(uint32_t data_size) {
  const PcmFormat& f = format_;
  const uint32_t block = static_cast<uint32_t>(f.channels * (f.bits / 8));
  const bool ext = f.channels > 2 || f.bits > 16;
  const uint16_t tag = f.is_float ? 3 : 1;
  const uint32_t fmt_size = ext ? 40 : 16;
  const uint32_t riff =
      data_size == 0xFFFFFFFFu ? 0xFFFFFFFFu : 4 + 8 + fmt_size + 8 + data_size + (data_size & 1);
  std::vector<uint8_t> h;
  h.insert(h.end(), {'R', 'I', 'F', 'F'});
  Put32(h, riff);
  h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  Put32(h, fmt_size);
  Put16(h, ext ? 0xFFFE : tag);
  Put16(h, static_cast<uint32_t>(f.channels));
  Put32(h, static_cast<uint32_t>(f.rate));
  Put32(h, static_cast<uint32_t>(f.rate) * block);
  Put16(h, block);
  Put16(h, static_cast<uint32_t>(f.bits));
  if (ext) {
    static const uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                          0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    Put16(h, 22);
    Put16(h, static_cast<uint32_t>(f.bits));
    Put32(h, f.channel_mask);
    Put16(h, tag);
    h.insert(h.end(), kGuidTail, kGuidTail + sizeof kGuidTail);
  }
  h.insert(h.end(), {'d', 'a', 't', 'a'});
  Put32(h, data_size);
  if (std::fwrite(h.data(), 1, h.size(), file_) != h.size()) {
    error_ = "write failed";
    return false;
  }
  return true;
}

bool PcmWriter::Write(const uint8_t* data, size_t bytes) {
  if (!file_ || !has_format_) return false;
  data_bytes_ += bytes;
  if (!(wav_ && format_.bits == 8)) {
    // What stdio holds goes first, so that the bytes stay in order.
    const bool ok = bytes >= kDirectWriteBytes
                        ? std::fflush(file_) == 0 && WriteAll(fileno(file_), data, bytes)
                        : std::fwrite(data, 1, bytes, file_) == bytes;
    if (ok) return true;
    error_ = "write failed";
    return false;
  }
  // WAV stores 8-bit samples unsigned.
  while (bytes > 0) {
    const size_t n = bytes < sizeof scratch_ ? bytes : sizeof scratch_;
    for (size_t i = 0; i < n; ++i) scratch_[i] = static_cast<uint8_t>(data[i] ^ 0x80);
    if (std::fwrite(scratch_, 1, n, file_) != n) {
      error_ = "write failed";
      return false;
    }
    data += n;
    bytes -= n;
  }
  return true;
}

bool PcmWriter::Close() {
  return Finish();
}

// Completes the current file.
bool PcmWriter::Finish() {
  if (!file_) return error_.empty();
  bool ok = error_.empty();
  if (wav_ && has_format_) {
    if (data_bytes_ & 1) ok = std::fputc(0, file_) != EOF && ok;
    // Sizes are known now; a pipe keeps the streaming header.
    if (data_bytes_ <= 0xFFFFFFF0u && std::fseek(file_, 0, SEEK_SET) == 0)
      ok = WriteHeader(static_cast<uint32_t>(data_bytes_)) && ok;
  }
  ok = std::fflush(file_) == 0 && ok;
  if (owns_file_) ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  if (!ok && error_.empty()) error_ = "write failed";
  return ok;
}
