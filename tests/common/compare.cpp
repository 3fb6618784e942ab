#include "common/compare.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vxtest {

namespace {

constexpr double kScale = 32768.0;

double Clip16(double v) {
  return std::min(32767.0, std::max(-32768.0, v));
}

struct Alignment {
  size_t ours_start = 0;
  size_t ref_start = 0;
  size_t frames = 0;
};

Alignment Align(size_t ours_frames, size_t ref_frames, int64_t offset) {
  Alignment a;
  if (offset >= 0) {
    a.ref_start = static_cast<size_t>(offset);
  } else {
    a.ours_start = static_cast<size_t>(-offset);
  }
  if (a.ours_start >= ours_frames || a.ref_start >= ref_frames) return a;
  a.frames = std::min(ours_frames - a.ours_start, ref_frames - a.ref_start);
  return a;
}

double LevelDb(double sum_sq, size_t n, double floor_db) {
  if (n == 0 || sum_sq <= 0.0) return floor_db;
  return std::max(floor_db, 10.0 * std::log10(sum_sq / static_cast<double>(n)));
}

}  // namespace

CompareResult Compare(const Wav& ours, const Wav& ref, const CompareOptions& options) {
  CompareResult r;
  r.ours_frames = ours.Frames();
  r.ref_frames = ref.Frames();
  const int channels = ours.channels;
  std::vector<int> map = options.channel_map;
  if (map.empty())
    for (int c = 0; c < channels; ++c) map.push_back(c);
  if (channels != ref.channels && options.channel_map.empty()) {
    r.error = "channel counts differ (" + std::to_string(channels) + " vs " +
              std::to_string(ref.channels) + ")";
    return r;
  }
  if (static_cast<int>(map.size()) != channels) {
    r.error = "channel map does not list every channel";
    return r;
  }
  for (int m : map) {
    if (m < 0 || m >= ref.channels) {
      r.error = "channel map refers to a missing reference channel";
      return r;
    }
  }
  const Alignment a = Align(r.ours_frames, r.ref_frames, options.offset);
  r.frames = a.frames;
  const size_t level_frame =
      options.level_frame > 0 ? static_cast<size_t>(options.level_frame) : 1024;
  double sum_sq = 0.0;
  for (int c = 0; c < channels; ++c) {
    double frame_ours = 0.0, frame_ref = 0.0;
    size_t in_frame = 0;
    for (size_t i = 0; i < a.frames; ++i) {
      const size_t oi = (a.ours_start + i) * static_cast<size_t>(channels) + static_cast<size_t>(c);
      const size_t ri = (a.ref_start + i) * static_cast<size_t>(ref.channels) +
                        static_cast<size_t>(map[static_cast<size_t>(c)]);
      const double o = ours.Normalized(oi) * kScale;
      const double f = Clip16(ref.Normalized(ri) * kScale);
      const double d = o - f;
      sum_sq += d * d;
      if (std::fabs(d) > r.max_lsb) {
        r.max_lsb = std::fabs(d);
        r.max_frame = i;
        r.max_channel = c;
      }
      // Levels relative to full scale.
      frame_ours += (o / kScale) * (o / kScale);
      frame_ref += (f / kScale) * (f / kScale);
      if (++in_frame == level_frame || i + 1 == a.frames) {
        const double floor_db = options.silence_db;
        const double lo = LevelDb(frame_ours, in_frame, floor_db);
        const double lr = LevelDb(frame_ref, in_frame, floor_db);
        if (lo > floor_db || lr > floor_db) {
          r.worst_level_db = std::max(r.worst_level_db, std::fabs(lo - lr));
          ++r.level_frames;
        }
        frame_ours = frame_ref = 0.0;
        in_frame = 0;
      }
    }
  }
  const size_t n = a.frames * static_cast<size_t>(channels);
  r.rms_lsb = n ? std::sqrt(sum_sq / static_cast<double>(n)) : 0.0;
  r.ok = true;
  return r;
}

CompareResult Compare16(const int16_t* ours, size_t frames, int channels, const Wav& ref,
                        const CompareOptions& options) {
  return Compare(MakeWav16(channels, ref.sample_rate, ours, frames), ref, options);
}

std::string FormatResult(const CompareResult& r) {
  if (!r.ok) return "not comparable: " + r.error;
  char line[256];
  std::snprintf(line, sizeof line,
                "rms %.4f max %.4f LSB (channel %d, sample %zu), level %.2f dB over %zu frames, "
                "%zu samples per channel compared (ours %zu, reference %zu)",
                r.rms_lsb, r.max_lsb, r.max_channel, r.max_frame, r.worst_level_db, r.level_frames,
                r.frames, r.ours_frames, r.ref_frames);
  return line;
}

}  // namespace vxtest
