// Media data descriptors: a buffer (owned or borrowed), a window of valid
// bytes inside it that moves forward as a consumer reads, and a start and
// end time.  The descriptor never interprets the bytes.
//
// The virtual operations are inline wrappers so that the classes have no key
// function (see umc_class.h); the work is done out of line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "umc/umc_class.h"
#include "umc/umc_status.h"

namespace UMC {

class MediaData {
  UMC_ROOT_CLASS(MediaData)

 public:
  // Allocates `size` bytes when size > 0 (an allocation failure leaves the
  // descriptor empty).
  explicit MediaData(uint32_t size = 0);
  virtual ~MediaData() { FreeOwned(); }

  MediaData(const MediaData&) = delete;
  // Takes over the source's window and times but never owns its buffer.
  MediaData& operator=(const MediaData& src);

  // Frees an owned buffer; pointers, sizes and frame_type cleared (times kept).
  virtual Status Close() { return CloseBuffer(); }
  // Close, then an owned buffer of `size` bytes (0: none).
  virtual Status Alloc(uint32_t size) { return AllocBuffer(size); }
  virtual uint8_t* GetBufferPointer() const { return buffer_pointer_; }
  virtual uint8_t* GetDataPointer() const { return data_pointer_; }
  virtual uint32_t GetBufferSize() const { return buffer_size_; }
  virtual uint32_t GetDataSize() const { return data_size_; }
  // Borrows `ptr` (an owned buffer is freed first); empty window.
  virtual Status SetBufferPointer(uint8_t* ptr, uint32_t size) { return BorrowBuffer(ptr, size); }
  // The window may not pass the end of the buffer.
  virtual Status SetDataSize(uint32_t size) { return SetWindowSize(size); }
  // Moves the window start; n < 0 grows the window back toward the buffer
  // start.  Out of range: nothing changes.
  virtual Status MoveDataPointer(int32_t n) { return MoveWindow(n); }
  virtual Status GetTime(double* start, double* end) const {
    if (!start || !end) return StatusNullPointer;
    *start = start_time_;
    *end = end_time_;
    return StatusOk;
  }
  virtual double GetTime() const { return start_time_; }
  virtual Status SetTime(double start, double end) {
    start_time_ = start;
    end_time_ = end;
    return StatusOk;
  }
  // Empty window at the buffer start, no times, flags cleared.
  virtual Status Reset() { return ResetWindow(); }
  // Appends as much of the window as fits after dst's window and consumes
  // it here; copies times and flags.
  virtual Status MoveDataTo(MediaData* dst) { return MoveWindowTo(dst); }

  // Bytes between the end of the valid data and the end of the buffer.
  uint32_t GetFreeSpaceAfterData() const;
  bool OwnsBuffer() const { return owns_buffer_; }

  int32_t frame_type = 0;  // cleared by SetBufferPointer, Close and Reset
  int32_t aux_flag = 0;    // cleared by Reset

 private:
  void FreeOwned();
  Status CloseBuffer();
  Status AllocBuffer(uint32_t size);
  Status BorrowBuffer(uint8_t* ptr, uint32_t size);
  Status SetWindowSize(uint32_t size);
  Status MoveWindow(int32_t n);
  Status ResetWindow();
  Status MoveWindowTo(MediaData* dst);

  double start_time_ = -1.0;  // seconds; -1 means none
  double end_time_ = 0.0;
  uint32_t buffer_size_ = 0;
  uint32_t data_size_ = 0;
  uint8_t* buffer_pointer_ = nullptr;
  uint8_t* data_pointer_ = nullptr;
  bool owns_buffer_ = false;
};

// A descriptor of PCM with the audio fields that a decoder fills in.
class AudioData : public MediaData {
  UMC_DERIVED_CLASS(AudioData, MediaData)

 public:
  explicit AudioData(uint32_t size = 0) : MediaData(size) {}

  int32_t channels = 0;
  int32_t sample_frequency = 0;
  int32_t bits_per_sample = 0;
  int32_t channel_mask = 0;
  bool is_float = false;  // samples are IEEE floats of bits_per_sample bits
};

// Gives `md` an owned buffer of size + pad bytes holding a copy of src
// followed by pad zero bytes, with a data size of `size` (bit readers may
// then read whole words past the end).
Status FillWithPadding(MediaData* md, const void* src, uint32_t size, uint32_t pad);

}  // namespace UMC
