// QMF analysis and synthesis banks of SBR (ISO/IEC 14496-3, 4.6.18.4):
// 32-band complex analysis, 64-band complex synthesis and the 32-band
// synthesis of downsampled output.  The modulations are matrix products with
// tables computed once per decoder.
#include <cmath>
#include <cstring>

#include "sbr/sbr_decoder.h"
#include "sbr/sbr_tables.h"

namespace {
constexpr int32_t kAnalysisTag = 0x434D4156;
constexpr int32_t kSynthesis64Tag = 0x434D4159;
constexpr int32_t kSynthesis32Tag = 0x434D415C;
}  // namespace

void SbrQmfTablesInit(SbrQmfTables& t) {
  for (int k = 0; k < 32; ++k) {
    for (int n = 0; n < 64; ++n) {
      const double a = M_PI * (k + 0.5) * (2 * n - 0.5) / 64.0;
      t.analysis[k][n][0] = static_cast<float>(2.0 * std::cos(a));
      t.analysis[k][n][1] = static_cast<float>(2.0 * std::sin(a));
    }
  }
  for (int n = 0; n < 128; ++n) {
    for (int k = 0; k < 64; ++k) {
      const double a = M_PI * (k + 0.5) * (2 * n - 255) / 128.0;
      t.synthesis64[n][k][0] = static_cast<float>(std::cos(a) / 64.0);
      t.synthesis64[n][k][1] = static_cast<float>(std::sin(a) / 64.0);
    }
  }
  for (int n = 0; n < 64; ++n) {
    for (int k = 0; k < 32; ++k) {
      const double a = M_PI * (k + 0.5) * (2 * n - 127) / 64.0;
      t.synthesis32[n][k][0] = static_cast<float>(std::cos(a) / 64.0);
      t.synthesis32[n][k][1] = static_cast<float>(std::sin(a) / 64.0);
    }
  }
  for (int n = 0; n < 320; ++n) t.window_even[n] = kSbrQmfWindow[2 * n];
}

void SbrQmfAnalysisInit(SbrQmfAnalysis& a) {
  std::memset(&a, 0, sizeof(a));
  a.tag = kAnalysisTag;
}

void SbrQmfSynthesisInit(SbrQmfSynthesis& s, int32_t bands) {
  std::memset(&s, 0, sizeof(s));
  s.tag = bands == 32 ? kSynthesis32Tag : kSynthesis64Tag;
}

void SbrQmfAnalyze(SbrQmfAnalysis& a, const SbrQmfTables& t, const float* in, float* out,
                   int32_t kx) {
  float* x = a.delay;
  std::memmove(x + 32, x, sizeof(float) * 288);
  for (int n = 0; n < 32; ++n) x[n] = in[31 - n];
  float u[64];
  for (int n = 0; n < 64; ++n) {
    float acc = 0.0f;
    for (int j = 0; j < 5; ++j) acc += x[n + 64 * j] * t.window_even[n + 64 * j];
    u[n] = acc;
  }
  if (kx < 0) kx = 0;
  if (kx > 32) kx = 32;
  for (int k = 0; k < kx; ++k) {
    float re = 0.0f, im = 0.0f;
    for (int n = 0; n < 64; ++n) {
      re += u[n] * t.analysis[k][n][0];
      im += u[n] * t.analysis[k][n][1];
    }
    out[2 * k] = re;
    out[2 * k + 1] = im;
  }
  for (int k = kx; k < 32; ++k) out[2 * k] = out[2 * k + 1] = 0.0f;
}

void SbrQmfSynthesize(SbrQmfSynthesis& s, const SbrQmfTables& t, const float* in, float* out,
                      int32_t bands) {
  float* v = s.delay;
  if (bands == 64) {
    std::memmove(v + 128, v, sizeof(float) * (1280 - 128));
    for (int n = 0; n < 128; ++n) {
      float acc = 0.0f;
      for (int k = 0; k < 64; ++k) {
        acc += in[2 * k] * t.synthesis64[n][k][0] - in[2 * k + 1] * t.synthesis64[n][k][1];
      }
      v[n] = acc;
    }
    for (int k = 0; k < 64; ++k) {
      float acc = 0.0f;
      for (int n = 0; n < 5; ++n) {
        acc += v[256 * n + k] * kSbrQmfWindow[128 * n + k];
        acc += v[256 * n + 192 + k] * kSbrQmfWindow[128 * n + 64 + k];
      }
      out[k] = acc;
    }
    return;
  }
  std::memmove(v + 64, v, sizeof(float) * (640 - 64));
  for (int n = 0; n < 64; ++n) {
    float acc = 0.0f;
    for (int k = 0; k < 32; ++k) {
      acc += in[2 * k] * t.synthesis32[n][k][0] - in[2 * k + 1] * t.synthesis32[n][k][1];
    }
    v[n] = acc;
  }
  for (int k = 0; k < 32; ++k) {
    float acc = 0.0f;
    for (int n = 0; n < 5; ++n) {
      acc += v[128 * n + k] * t.window_even[64 * n + k];
      acc += v[128 * n + 96 + k] * t.window_even[64 * n + 32 + k];
    }
    out[k] = acc;
  }
}
