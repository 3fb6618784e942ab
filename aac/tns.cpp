// Temporal noise shaping (ISO/IEC 14496-3, 4.6.9): tns_data(), the filters
// it describes and the all-pole filtering of the spectrum.
#include <array>
#include <cstring>
#include <utility>

#include "aac/channel_stream.h"

namespace {

// Reflection coefficients of 3- and 4-bit resolution, indexed by the
// sign-extended field plus 4 (resp. 8):
//   c >= 0: sin(c / (2^(r-1) - 0.5) * pi/2),  c < 0: sin(c / (2^(r-1) + 0.5) * pi/2)
constexpr double kTnsCoef3[8] = {
    -0.98480775301220802, -0.86602540378443860, -0.64278760968653925, -0.34202014332566871, 0.0,
    0.43388373911755812,  0.78183148246802980,  0.97492791218182362};
constexpr double kTnsCoef4[16] = {-0.99573417629503447, -0.96182564317281904, -0.89516329135506234,
                                  -0.79801722728023949, -0.67369564364655721, -0.52643216287735572,
                                  -0.36124166618715292, -0.18374951781657034, 0.0,
                                  0.20791169081775931,  0.40673664307580015,  0.58778525229247314,
                                  0.74314482547739413,  0.86602540378443860,  0.95105651629515353,
                                  0.99452189536827329};

double ReflectionCoefficient(int32_t raw, int bits, int32_t coef_res) {
  const int32_t sign_bit = 1 << (bits - 1);
  const int32_t c = (raw & (sign_bit - 1)) - (raw & sign_bit);  // sign-extend from `bits`
  return coef_res ? kTnsCoef4[c + 8] : kTnsCoef3[c + 4];
}

// Reflection coefficients to direct form by the step-up recursion.
void StepUp(const double* k, int32_t order, double* lpc) {
  double tmp[kTnsMaxOrder + 1];
  lpc[0] = 1.0;
  for (int32_t m = 1; m <= order; ++m) {
    for (int32_t i = 1; i < m; ++i) tmp[i] = lpc[i] + k[m - 1] * lpc[m - i];
    for (int32_t i = 1; i < m; ++i) lpc[i] = tmp[i];
    lpc[m] = k[m - 1];
  }
}

}  // namespace

int DecodeTnsData(ChannelStream& s, UMC::BitReader& r) {
  TnsData& t = s.tns;
  std::memset(&t, 0, sizeof(t));
  const bool short_windows = s.window_sequence == EIGHT_SHORT_SEQUENCE;
  const int n_filt_bits = short_windows ? 1 : 2;
  const int length_bits = short_windows ? 4 : 6;
  const int order_bits = short_windows ? 3 : 5;
  const int32_t windows = s.num_windows < kAacMaxWindows ? s.num_windows : kAacMaxWindows;
  for (int32_t w = 0; w < windows; ++w) {
    t.n_filt[w] = static_cast<int32_t>(UMC::BitReaderRead(r, n_filt_bits));
    if (!t.n_filt[w]) continue;
    t.coef_res[w] = static_cast<int32_t>(UMC::BitReaderRead1(r));
    for (int32_t f = 0; f < t.n_filt[w]; ++f) {
      t.length[w][f] = static_cast<int32_t>(UMC::BitReaderRead(r, length_bits));
      t.order[w][f] = static_cast<int32_t>(UMC::BitReaderRead(r, order_bits));
      if (!t.order[w][f]) continue;
      t.direction[w][f] = static_cast<int32_t>(UMC::BitReaderRead1(r));
      t.coef_compress[w][f] = static_cast<int32_t>(UMC::BitReaderRead1(r));
      const int bits = 3 + t.coef_res[w] - t.coef_compress[w][f];
      for (int32_t i = 0; i < t.order[w][f]; ++i) {
        t.coef[w][f][i] = static_cast<int8_t>(UMC::BitReaderRead(r, bits));
      }
    }
  }
  return UMC::BitReaderOverrun(r) ? -1 : 0;
}

void PrepareTns(const ChannelStream& s, TnsFilterSet* set) {
  set->present = s.tns_data_present;
  set->num_windows = s.num_windows < kAacMaxWindows ? s.num_windows : kAacMaxWindows;
  set->window_length = s.bands.short_length;
  std::memset(set->n_filt, 0, sizeof(set->n_filt));
  if (!set->present) return;
  const bool short_windows = s.window_sequence == EIGHT_SHORT_SEQUENCE;
  const int32_t* offset = short_windows ? s.bands.swb_offset_short : s.bands.swb_offset_long;
  const int32_t num_swb = short_windows ? s.bands.num_swb_short : s.bands.num_swb_long;
  const int32_t max_bands =
      short_windows ? s.bands.tns_max_bands_short : s.bands.tns_max_bands_long;
  int32_t max_order = short_windows ? s.bands.tns_max_order_short : s.bands.tns_max_order_long;
  if (max_order > kTnsMaxOrder) max_order = kTnsMaxOrder;
  if (!offset) {
    set->present = 0;
    return;
  }
  int32_t limit = s.max_sfb < max_bands ? s.max_sfb : max_bands;
  if (limit > num_swb) limit = num_swb;
  if (limit < 0) limit = 0;
  const TnsData& t = s.tns;
  for (int32_t w = 0; w < set->num_windows; ++w) {
    set->n_filt[w] = t.n_filt[w] < 4 ? t.n_filt[w] : 4;
    int32_t top = num_swb;
    for (int32_t f = 0; f < set->n_filt[w]; ++f) {
      TnsFilter& filter = set->filter[w][f];
      const int32_t order = t.order[w][f] < max_order ? t.order[w][f] : max_order;
      const int32_t bottom = top - t.length[w][f] > 0 ? top - t.length[w][f] : 0;
      filter.order = 0;
      if (order > 0) {
        const int bits = 3 + t.coef_res[w] - t.coef_compress[w][f];
        double k[kTnsMaxOrder];
        for (int32_t i = 0; i < order; ++i) {
          k[i] = ReflectionCoefficient(t.coef[w][f][i], bits, t.coef_res[w]);
        }
        StepUp(k, order, filter.lpc);
        const int32_t start = offset[bottom < limit ? bottom : limit];
        const int32_t end = offset[top < limit ? top : limit];
        if (end > start) {
          filter.order = order;
          filter.size = end - start;
          filter.step = t.direction[w][f] ? -1 : 1;
          filter.start = t.direction[w][f] ? end - 1 : start;
        }
      }
      top = bottom;
    }
  }
}

namespace {

// y[n] = x[n] - sum lpc[i] y[n - i] over the lines from n = kOrder on, the
// coefficients held in registers and the taps unrolled.  The oldest outputs
// are subtracted first, so only the last step waits for y[n - 1]: the rest
// of the sum overlaps the previous output's.
template <int32_t kOrder, int32_t kStep>
void FilterSteady(const double* lpc, float* x, double* y, int32_t size) {
  double c[kOrder + 1];
  for (int32_t i = 1; i <= kOrder; ++i) c[i] = lpc[i];
  for (int32_t n = kOrder; n < size; ++n) {
    double acc = x[n * kStep];
#pragma GCC unroll 20
    for (int32_t i = kOrder; i >= 1; --i) acc -= c[i] * y[n - i];
    y[n] = acc;
    x[n * kStep] = static_cast<float>(acc);
  }
}

template <int32_t kOrder>
void FilterSteadyDir(const double* lpc, float* x, double* y, int32_t size, int32_t step) {
  if (step > 0) {
    FilterSteady<kOrder, 1>(lpc, x, y, size);
  } else {
    FilterSteady<kOrder, -1>(lpc, x, y, size);
  }
}

using SteadyFn = void (*)(const double*, float*, double*, int32_t, int32_t);

template <int32_t... kOrders>
constexpr std::array<SteadyFn, sizeof...(kOrders)> MakeSteady(
    std::integer_sequence<int32_t, kOrders...>) {
  return {&FilterSteadyDir<kOrders + 1>...};
}

// Index order - 1.
constexpr std::array<SteadyFn, kTnsMaxOrder> kSteady =
    MakeSteady(std::make_integer_sequence<int32_t, kTnsMaxOrder>{});

// The all-pole filter of one range, outputs kept in double.
void Filter(const TnsFilter& filter, float* x, int32_t size) {
  const int32_t step = filter.step;
  const int32_t order = filter.order;
  double y[kAacFrameLength];
  // The first lines see fewer past outputs than the order.
  const int32_t head = size < order ? size : order;
  for (int32_t n = 0; n < head; ++n) {
    double acc = x[n * step];
    for (int32_t i = n; i >= 1; --i) acc -= filter.lpc[i] * y[n - i];
    y[n] = acc;
    x[n * step] = static_cast<float>(acc);
  }
  kSteady[order - 1](filter.lpc, x, y, size, step);
}

}  // namespace

void ApplyTns(const TnsFilterSet& set, float* spectrum) {
  if (!set.present) return;
  for (int32_t w = 0; w < set.num_windows && w < kAacMaxWindows; ++w) {
    for (int32_t f = 0; f < set.n_filt[w] && f < 4; ++f) {
      const TnsFilter& filter = set.filter[w][f];
      if (filter.order <= 0 || filter.order > kTnsMaxOrder) continue;
      const int32_t size = filter.size < kAacFrameLength ? filter.size : kAacFrameLength;
      Filter(filter, spectrum + set.window_length * w + filter.start, size);
    }
  }
}
