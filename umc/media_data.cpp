#include "umc/media_data.h"

#include <cstring>

#include "dsp/dsp_core.h"

namespace UMC {

UMC_DEFINE_CLASS(MediaData)
UMC_DEFINE_CLASS(AudioData)

namespace {

// dspMalloc takes a signed 32-bit size.
uint8_t* AllocBytes(uint32_t size) {
  if (size == 0 || size > static_cast<uint32_t>(INT32_MAX)) return nullptr;
  return static_cast<uint8_t*>(dspMalloc(static_cast<int32_t>(size)));
}

}  // namespace

MediaData::MediaData(uint32_t size) {
  if (size == 0) return;
  uint8_t* p = AllocBytes(size);
  if (!p) return;
  buffer_pointer_ = data_pointer_ = p;
  buffer_size_ = size;
  owns_buffer_ = true;
}

void MediaData::FreeOwned() {
  if (owns_buffer_) dspFree(buffer_pointer_);
  owns_buffer_ = false;
}

MediaData& MediaData::operator=(const MediaData& src) {
  if (this == &src) return *this;
  FreeOwned();
  start_time_ = src.start_time_;
  end_time_ = src.end_time_;
  buffer_size_ = src.buffer_size_;
  data_size_ = src.data_size_;
  buffer_pointer_ = src.buffer_pointer_;
  data_pointer_ = src.data_pointer_;
  frame_type = src.frame_type;
  aux_flag = src.aux_flag;
  return *this;
}

Status MediaData::CloseBuffer() {
  FreeOwned();
  buffer_pointer_ = data_pointer_ = nullptr;
  buffer_size_ = data_size_ = 0;
  frame_type = 0;
  return StatusOk;
}

Status MediaData::AllocBuffer(uint32_t size) {
  CloseBuffer();
  if (size == 0) return StatusOk;
  uint8_t* p = AllocBytes(size);
  if (!p) return StatusAllocFailed;
  buffer_pointer_ = data_pointer_ = p;
  buffer_size_ = size;
  owns_buffer_ = true;
  return StatusOk;
}

Status MediaData::BorrowBuffer(uint8_t* ptr, uint32_t size) {
  FreeOwned();
  buffer_pointer_ = data_pointer_ = ptr;
  buffer_size_ = ptr ? size : 0;
  data_size_ = 0;
  frame_type = 0;
  return StatusOk;
}

uint32_t MediaData::GetFreeSpaceAfterData() const {
  if (!buffer_pointer_) return 0;
  const uint32_t used = static_cast<uint32_t>(data_pointer_ - buffer_pointer_) + data_size_;
  return buffer_size_ - used;
}

Status MediaData::SetWindowSize(uint32_t size) {
  if (!buffer_pointer_) return StatusNullPointer;
  const uint32_t offset = static_cast<uint32_t>(data_pointer_ - buffer_pointer_);
  if (size > buffer_size_ - offset) return StatusOutOfRange;
  data_size_ = size;
  return StatusOk;
}

Status MediaData::MoveWindow(int32_t n) {
  if (n >= 0) {
    if (static_cast<uint32_t>(n) > data_size_) return StatusOutOfRange;
    data_pointer_ += n;
    data_size_ -= static_cast<uint32_t>(n);
    return StatusOk;
  }
  const int64_t back = -static_cast<int64_t>(n);
  if (back > data_pointer_ - buffer_pointer_) return StatusOutOfRange;
  data_pointer_ -= back;
  data_size_ += static_cast<uint32_t>(back);
  return StatusOk;
}

Status MediaData::ResetWindow() {
  data_pointer_ = buffer_pointer_;
  start_time_ = end_time_ = -1.0;
  data_size_ = 0;
  frame_type = 0;
  aux_flag = 0;
  return StatusOk;
}

Status MediaData::MoveWindowTo(MediaData* dst) {
  if (!data_pointer_) return StatusNotInitialized;
  if (!dst || !dst->data_pointer_) return StatusNullPointer;
  if (dst == this) return StatusInvalidParams;
  const uint32_t space = dst->GetFreeSpaceAfterData();
  const uint32_t n = data_size_ < space ? data_size_ : space;
  if (n > 0) std::memmove(dst->data_pointer_ + dst->data_size_, data_pointer_, n);
  dst->data_size_ += n;
  data_pointer_ += n;
  data_size_ -= n;
  dst->start_time_ = start_time_;
  dst->end_time_ = end_time_;
  dst->frame_type = frame_type;
  dst->aux_flag = aux_flag;
  return StatusOk;
}

Status FillWithPadding(MediaData* md, const void* src, uint32_t size, uint32_t pad) {
  if (!md || (!src && size > 0)) return StatusNullPointer;
  if (size > UINT32_MAX - pad) return StatusInvalidParams;
  Status s = md->Alloc(size + pad);
  if (s != StatusOk) return s;
  uint8_t* p = md->GetBufferPointer();
  if (!p) return StatusOk;  // size + pad == 0
  if (size > 0) std::memcpy(p, src, size);
  std::memset(p + size, 0, pad);
  return md->SetDataSize(size);
}

}  // namespace UMC
