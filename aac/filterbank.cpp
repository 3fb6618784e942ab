// Synthesis filter bank (ISO/IEC 14496-3, 4.6.11): inverse MDCT, sine and
// Kaiser-Bessel-derived windows, overlap-add, for the four window sequences.
#include <cmath>
#include <cstring>

#include "aac/channel_stream.h"
#include "dsp/dsp_core.h"
#include "dsp/dsp_transform.h"
#include "dsp/dsp_vector.h"

namespace {

constexpr int32_t kLong = 2048;  // transform lengths of 1024-line frames
constexpr int32_t kShort = 256;
constexpr int32_t kLong960 = 1920;  // and of 960-line frames
constexpr int32_t kShort960 = 240;
constexpr int32_t kAlign = 32;
constexpr int32_t kObjectTypeSsr = 3;
constexpr double kPi = 3.14159265358979323846;

// Zeroth-order modified Bessel function of the first kind (power series; the
// terms fall off fast for the arguments of alpha <= 6).
double BesselI0(double x) {
  double sum = 1.0;
  double term = 1.0;
  const double q = x * x / 4.0;
  for (int k = 1; k < 64; ++k) {
    term *= q / (static_cast<double>(k) * k);
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

// Kaiser-Bessel-derived window of length n with parameter alpha: the
// normalised running sum of a Kaiser kernel of n/2 + 1 points, square-rooted,
// mirrored into the second half.
void KbdWindow(float* w, int32_t n, double alpha) {
  const int32_t half = n / 2;
  double kernel[kLong / 2 + 1];
  // The kernel is symmetric (t of half - j is -t of j, exactly): the Bessel
  // series runs for one half.
  for (int32_t j = 0; 2 * j <= half; ++j) {
    const double t = (j - half / 2.0) / (half / 2.0);
    kernel[j] = kernel[half - j] = BesselI0(kPi * alpha * std::sqrt(1.0 - t * t));
  }
  double total = 0.0;
  for (int32_t j = 0; j <= half; ++j) total += kernel[j];
  double running = 0.0;
  for (int32_t i = 0; i < half; ++i) {
    running += kernel[i];
    const float v = static_cast<float>(std::sqrt(running / total));
    w[i] = v;
    w[n - 1 - i] = v;
  }
}

void SineWindow(float* w, int32_t n) {
  for (int32_t i = 0; i < n; ++i) w[i] = static_cast<float>(std::sin((i + 0.5) * kPi / n));
}

struct TransformSizes {
  int32_t context;
  int32_t init;
  int32_t work;
};

int InverseSizes(int32_t n, TransformSizes* t) {
  return dspMdctInvGetSize_32f(n, &t->context, &t->init, &t->work) == dspStsNoErr ? 0 : 3;
}

int ForwardSizes(int32_t n, TransformSizes* t) {
  return dspMdctFwdGetSize_32f(n, &t->context, &t->init, &t->work) == dspStsNoErr ? 0 : 3;
}

// Memory layout: the contexts, then one work buffer and one init scratch
// buffer as large as the largest transform asks for, each 32-byte aligned.
struct Layout {
  TransformSizes inv_long, inv_short, fwd_long, fwd_short;
  int32_t work;
  int32_t init;
  int32_t total;
};

int32_t Max(int32_t a, int32_t b) {
  return a > b ? a : b;
}

int ComputeLayout(int32_t flags, int32_t n_long, int32_t n_short, Layout* l) {
  std::memset(l, 0, sizeof(*l));
  if (flags & kFilterBankInverse) {
    if (InverseSizes(n_long, &l->inv_long) || InverseSizes(n_short, &l->inv_short)) return 3;
  }
  if (flags & kFilterBankForward) {
    if (ForwardSizes(n_long, &l->fwd_long) || ForwardSizes(n_short, &l->fwd_short)) return 3;
  }
  const TransformSizes* all[4] = {&l->inv_long, &l->inv_short, &l->fwd_long, &l->fwd_short};
  for (const TransformSizes* t : all) {
    l->work = Max(l->work, t->work);
    l->init = Max(l->init, t->init);
    l->total += t->context + kAlign;
  }
  l->total += l->work + kAlign + l->init + kAlign;
  return 0;
}

void* Take(uint8_t** p, int32_t bytes) {
  uint8_t* at = dspAlignPtr<uint8_t>(*p, kAlign);
  *p = at + bytes;
  return at;
}

// The transition halves (FilterBank::start_fall, stop_rise) for both short
// shapes.
void TransitionWindows(FilterBank& bank) {
  const int32_t n = bank.n_long / 2, s = bank.n_short / 2, f = (n - s) / 2;
  for (int32_t shape = 0; shape < 2; ++shape) {
    const float* w = bank.short_window[shape];
    for (int32_t i = 0; i < n; ++i) {
      const bool slope = i >= f && i < f + s;
      bank.start_fall[shape][i] = i < f ? 1.0f : (slope ? w[s + i - f] : 0.0f);
      bank.stop_rise[shape][i] = i < f ? 0.0f : (slope ? w[i - f] : 1.0f);
    }
  }
}

}  // namespace

int FilterBankGetSize(int32_t flags, int32_t object_type, int32_t* size) {
  if (!size || object_type == kObjectTypeSsr) return 3;
  // The memory serves either frame length.
  Layout l, l960;
  if (ComputeLayout(flags, kLong, kShort, &l) != 0 ||
      ComputeLayout(flags, kLong960, kShort960, &l960) != 0) {
    return 3;
  }
  *size = Max(l.total, l960.total);
  return 0;
}

int InitFilterBank(FilterBank& bank, void* memory, int32_t flags, int32_t object_type,
                   int32_t frame_length) {
  if (!memory || object_type == kObjectTypeSsr) return 3;
  if (frame_length != kLong / 2 && frame_length != kLong960 / 2) return 3;
  const int32_t n_long = 2 * frame_length, n_short = n_long / 8;
  Layout l;
  if (ComputeLayout(flags, n_long, n_short, &l) != 0) return 3;
  bank.mdct_inv_long = bank.mdct_inv_short = nullptr;
  bank.mdct_fwd_long = bank.mdct_fwd_short = nullptr;
  bank.n_long = n_long;
  bank.n_short = n_short;
  uint8_t* p = static_cast<uint8_t*>(memory);
  void* ctx_inv_long = Take(&p, l.inv_long.context);
  void* ctx_inv_short = Take(&p, l.inv_short.context);
  void* ctx_fwd_long = Take(&p, l.fwd_long.context);
  void* ctx_fwd_short = Take(&p, l.fwd_short.context);
  bank.work = static_cast<uint8_t*>(Take(&p, l.work));
  uint8_t* init = static_cast<uint8_t*>(Take(&p, l.init));
  if (flags & kFilterBankInverse) {
    DspMdctInvSpec_32f* a = nullptr;
    DspMdctInvSpec_32f* b = nullptr;
    if (dspMdctInvInit_32f(&a, n_long, static_cast<uint8_t*>(ctx_inv_long), init) != dspStsNoErr ||
        dspMdctInvInit_32f(&b, n_short, static_cast<uint8_t*>(ctx_inv_short), init) !=
            dspStsNoErr) {
      return 3;
    }
    bank.mdct_inv_long = a;
    bank.mdct_inv_short = b;
  }
  if (flags & kFilterBankForward) {
    DspMdctFwdSpec_32f* a = nullptr;
    DspMdctFwdSpec_32f* b = nullptr;
    if (dspMdctFwdInit_32f(&a, n_long, static_cast<uint8_t*>(ctx_fwd_long), init) != dspStsNoErr ||
        dspMdctFwdInit_32f(&b, n_short, static_cast<uint8_t*>(ctx_fwd_short), init) !=
            dspStsNoErr) {
      return 3;
    }
    bank.mdct_fwd_long = a;
    bank.mdct_fwd_short = b;
  }
  // The same window shapes (and KBD alphas) serve both frame lengths.
  SineWindow(bank.long_window[0], n_long);
  SineWindow(bank.short_window[0], n_short);
  KbdWindow(bank.long_window[1], n_long, 4.0);
  KbdWindow(bank.short_window[1], n_short, 6.0);
  TransitionWindows(bank);
  return 0;
}

namespace {

// Lengths of one frame: N output samples, short windows of S lines, and the
// flat part F = (N - S) / 2 on either side of the short windows (1024, 128,
// 448, or 960, 120, 420).
struct Frame {
  int32_t n, s, f;
};

Frame FrameOf(const FilterBank& bank) {
  const int32_t n = bank.n_long / 2, s = bank.n_short / 2;
  return Frame{n, s, (n - s) / 2};
}

// Eight short windows overlapped into b[F..2N-F-1] (the rest of b is not
// touched: it would be zero).  Each transform runs with its window and
// overlap-add fused: window w rises over the falling half that window w - 1
// left at b[F + S w], its own falling half goes to b[F + S (w + 1)].
int EightShort(const FilterBank& bank, const float* spectrum, const float* short_prev,
               const float* short_cur, float* b) {
  const Frame fr = FrameOf(bank);
  const auto* spec = static_cast<const DspMdctInvSpec_32f*>(bank.mdct_inv_short);
  dspZero_32f(b + fr.f, fr.s);
  for (int32_t w = 0; w < 8; ++w) {
    float* at = b + fr.f + fr.s * w;
    if (dspMdctInvOverlap_32f(spectrum + fr.s * w, w == 0 ? short_prev : short_cur, at, at,
                              short_cur + fr.s, at + fr.s, spec, bank.work) != dspStsNoErr) {
      return -1;
    }
  }
  return 0;
}

}  // namespace

int SynthesisFilterBank(const FilterBank& bank, const float* spectrum, const float* overlap_in,
                        int32_t window_sequence, int32_t window_shape, int32_t window_shape_prev,
                        float* output, float* overlap_out) {
  if (!bank.mdct_inv_long || !bank.mdct_inv_short || window_sequence < 0 || window_sequence > 3) {
    return -1;
  }
  const float* long_prev = bank.long_window[window_shape_prev & 1];
  const float* long_cur = bank.long_window[window_shape & 1];
  const float* short_prev = bank.short_window[window_shape_prev & 1];
  const float* short_cur = bank.short_window[window_shape & 1];
  const Frame fr = FrameOf(bank);
  const int32_t n = fr.n, f = fr.f;
  // A silent channel (common in multichannel streams) transforms to zero in
  // every window sequence: its frame is the previous overlap, and it leaves
  // none.  This saves the transform of each silent channel.
  if (dspIsZero_32f(spectrum, n)) {
    if (output != overlap_in) dspCopy_32f(overlap_in, output, n);
    dspZero_32f(overlap_out, n);
    return 0;
  }
  alignas(32) float t[kLong];

  if (window_sequence == EIGHT_SHORT_SEQUENCE) {
    // t[F..2N-F-1] holds the short windows; zero elsewhere.
    if (EightShort(bank, spectrum, short_prev, short_cur, t) != 0) return -1;
    dspCopy_32f(overlap_in, output, f);
    dspAdd_32f(overlap_in + f, t + f, output + f, n - f);
    dspCopy_32f(t + n, overlap_out, n - f);
    dspZero_32f(overlap_out + n - f, f);
    return 0;
  }
  // The long sequences: windowed and overlap-added in the transform's last
  // pass (LONG_START and LONG_STOP with their transition halves: products
  // with 1 and 0 are exact).
  const float* rise =
      window_sequence == LONG_STOP_SEQUENCE ? bank.stop_rise[window_shape_prev & 1] : long_prev;
  const float* fall =
      window_sequence == LONG_START_SEQUENCE ? bank.start_fall[window_shape & 1] : long_cur + n;
  return dspMdctInvOverlap_32f(spectrum, rise, overlap_in, output, fall, overlap_out,
                               static_cast<const DspMdctInvSpec_32f*>(bank.mdct_inv_long),
                               bank.work) == dspStsNoErr
             ? 0
             : -1;
}
