#include "gst/gst_helpers.h"

#include <gst/app/gstappsink.h>
#include <gst/audio/audio.h>
#include <gst/check/gstharness.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "umc/inband_framer.h"

namespace vxgst {

void EnsureGst() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (!g_getenv("GST_PLUGIN_PATH")) g_setenv("GST_PLUGIN_PATH", VX_PLUGIN_DIR, TRUE);
    gst_init(nullptr, nullptr);
    // Loaded into this process explicitly: the registry's separate scanner
    // cannot load a plug-in built with sanitizers.
    const char* path = g_getenv("GST_PLUGIN_PATH");
    gchar* file = g_build_filename(path && !std::strchr(path, ':') ? path : VX_PLUGIN_DIR,
                                   "libgstvxaacdec.so", nullptr);
    GError* err = nullptr;
    GstPlugin* plugin = gst_plugin_load_file(file, &err);
    if (plugin) gst_object_unref(plugin);
    g_clear_error(&err);
    g_free(file);
  });
}

std::string DataPath(const char* name) {
  return std::string(VX_TEST_DATA_DIR) + "/gst/" + name;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  return bytes;
}

bool SanitizerBuild() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

bool DecoderAvailable() {
  static int available = -1;
  if (available >= 0) return available == 1;
  EnsureGst();
  GstHarness* h = gst_harness_new("vxaacdec");
  GstBus* bus = gst_bus_new();
  gst_element_set_bus(h->element, bus);
  gst_harness_set_src_caps_str(h, "audio/mpeg, mpegversion=4, stream-format=adts");
  const std::vector<uint8_t> stream = ReadFile(DataPath("lc_44k_st_128.aac"));
  gst_harness_push(h, gst_buffer_new_memdup(stream.data(), stream.size()));
  available = 1;
  while (GstMessage* m = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
    GError* err = nullptr;
    gst_message_parse_error(m, &err, nullptr);
    if (err && g_error_matches(err, GST_LIBRARY_ERROR, GST_LIBRARY_ERROR_INIT)) available = 0;
    g_clear_error(&err);
    gst_message_unref(m);
  }
  gst_element_set_bus(h->element, nullptr);
  gst_object_unref(bus);
  gst_harness_teardown(h);
  return available == 1;
}

size_t Output::Frames() const {
  if (channels <= 0 || format.empty()) return 0;
  const GstAudioFormatInfo* info =
      gst_audio_format_get_info(gst_audio_format_from_string(format.c_str()));
  return pcm.size() / (static_cast<size_t>(channels) * GST_AUDIO_FORMAT_INFO_WIDTH(info) / 8);
}

void ReadCaps(GstCaps* caps, Output* out) {
  if (!caps || gst_caps_get_size(caps) == 0) return;
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  const gchar* format = gst_structure_get_string(s, "format");
  out->format = format ? format : "";
  gst_structure_get_int(s, "rate", &out->rate);
  gst_structure_get_int(s, "channels", &out->channels);
  guint64 mask = 0;
  if (gst_structure_get(s, "channel-mask", GST_TYPE_BITMASK, &mask, nullptr))
    out->channel_mask = mask;
}

namespace {

// Factory names of every element in the bin and its sub-bins.
std::vector<std::string> ElementFactories(GstBin* bin) {
  std::vector<std::string> names;
  GstIterator* it = gst_bin_iterate_recurse(bin);
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
    GstElement* e = GST_ELEMENT(g_value_get_object(&item));
    GstElementFactory* f = gst_element_get_factory(e);
    if (f) names.push_back(GST_OBJECT_NAME(f));
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(it);
  return names;
}

bool ContainsVxaacdec(GstBin* bin) {
  const std::vector<std::string> names = ElementFactories(bin);
  return std::find(names.begin(), names.end(), "vxaacdec") != names.end();
}

std::string TakeError(GstBus* bus) {
  GstMessage* m = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
  if (!m) return "";
  GError* err = nullptr;
  gchar* debug = nullptr;
  gst_message_parse_error(m, &err, &debug);
  std::string text = std::string(err ? err->message : "error") + " (" + (debug ? debug : "") + ")";
  g_clear_error(&err);
  g_free(debug);
  gst_message_unref(m);
  return text;
}

}  // namespace

void AppendSample(GstSample* sample, Output* out, std::string* last_caps) {
  GstCaps* caps = gst_sample_get_caps(sample);
  gchar* caps_text = caps ? gst_caps_to_string(caps) : g_strdup("");
  if (*last_caps != caps_text) {
    ++out->caps_changes;
    *last_caps = caps_text;
    ReadCaps(caps, out);
  }
  g_free(caps_text);
  GstBuffer* buf = gst_sample_get_buffer(sample);
  GstMapInfo map;
  if (gst_buffer_map(buf, &map, GST_MAP_READ)) {
    out->pcm.insert(out->pcm.end(), map.data, map.data + map.size);
    out->sizes.push_back(map.size);
    gst_buffer_unmap(buf, &map);
  }
  out->pts.push_back(GST_BUFFER_PTS(buf));
  out->duration.push_back(GST_BUFFER_DURATION(buf));
  out->offset.push_back(GST_BUFFER_OFFSET(buf));
  out->offset_end.push_back(GST_BUFFER_OFFSET_END(buf));
  out->discont.push_back(GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_DISCONT));
}

GstElement* LaunchWithAppsink(const std::string& description) {
  EnsureGst();
  GError* err = nullptr;
  const std::string full = description + " ! appsink name=vxsink sync=false";
  GstElement* pipeline = gst_parse_launch(full.c_str(), &err);
  if (err) {
    g_clear_error(&err);
    if (pipeline) gst_object_unref(pipeline);
    return nullptr;
  }
  return pipeline;
}

GstElement* PlaybinWithAppsink(const std::string& path) {
  EnsureGst();
  GstElement* playbin = gst_element_factory_make("playbin", nullptr);
  GstElement* sink = gst_element_factory_make("appsink", "vxsink");
  if (!playbin || !sink) {
    if (playbin) gst_object_unref(playbin);
    if (sink) gst_object_unref(sink);
    return nullptr;
  }
  g_object_set(sink, "sync", FALSE, nullptr);
  gchar* uri = gst_filename_to_uri(path.c_str(), nullptr);
  g_object_set(playbin, "uri", uri, "audio-sink", sink, "flags", 0x2 /* audio only */, nullptr);
  g_free(uri);
  return playbin;
}

SeekRun RunWithSeek(GstElement* pipeline, GstSeekFlags flags, GstClockTime start, GstClockTime stop,
                    size_t play_before) {
  SeekRun run;
  gst_segment_init(&run.segment, GST_FORMAT_UNDEFINED);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "vxsink");
  if (!sink) {
    GstElement* playbin_sink = nullptr;
    g_object_get(pipeline, "audio-sink", &playbin_sink, nullptr);
    sink = playbin_sink;
  }
  GstBus* bus = gst_element_get_bus(pipeline);
  gst_element_set_state(pipeline, play_before ? GST_STATE_PLAYING : GST_STATE_PAUSED);
  gst_element_get_state(pipeline, nullptr, nullptr, 20 * GST_SECOND);
  std::string last_caps;
  while (run.before.pts.size() < play_before) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 20 * GST_SECOND);
    if (!sample) break;
    AppendSample(sample, &run.before, &last_caps);
    gst_sample_unref(sample);
  }
  last_caps.clear();
  run.seek_handled = gst_element_seek(
      pipeline, 1.0, GST_FORMAT_TIME, flags, GST_SEEK_TYPE_SET, static_cast<gint64>(start),
      GST_CLOCK_TIME_IS_VALID(stop) ? GST_SEEK_TYPE_SET : GST_SEEK_TYPE_NONE,
      GST_CLOCK_TIME_IS_VALID(stop) ? static_cast<gint64>(stop) : -1);
  gst_element_get_state(pipeline, nullptr, nullptr, 20 * GST_SECOND);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  for (;;) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 20 * GST_SECOND);
    if (!sample) break;
    if (run.after.pts.empty() && gst_sample_get_segment(sample))
      gst_segment_copy_into(gst_sample_get_segment(sample), &run.segment);
    AppendSample(sample, &run.after, &last_caps);
    gst_sample_unref(sample);
  }
  if (!gst_app_sink_is_eos(GST_APP_SINK(sink))) {
    run.after.error = TakeError(bus);
    if (run.after.error.empty()) run.after.error = "no EOS";
  }
  while (GstMessage* m = gst_bus_pop_filtered(bus, GST_MESSAGE_WARNING)) {
    GError* err = nullptr;
    gst_message_parse_warning(m, &err, nullptr);
    run.warnings.push_back(err ? err->message : "warning");
    g_clear_error(&err);
    gst_message_unref(m);
  }
  run.after.used_vxaacdec = ContainsVxaacdec(GST_BIN(pipeline));
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(bus);
  gst_object_unref(sink);
  return run;
}

Output RunPipeline(const std::string& description) {
  EnsureGst();
  Output out;
  GError* err = nullptr;
  const std::string full = description + " ! appsink name=vxsink sync=false";
  GstElement* pipeline = gst_parse_launch(full.c_str(), &err);
  if (!pipeline || err) {
    out.error = std::string("parse: ") + (err ? err->message : "failed");
    g_clear_error(&err);
    if (pipeline) gst_object_unref(pipeline);
    return out;
  }
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "vxsink");
  GstBus* bus = gst_element_get_bus(pipeline);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  std::string last_caps;
  for (;;) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 20 * GST_SECOND);
    if (!sample) break;  // EOS, error or time-out
    AppendSample(sample, &out, &last_caps);
    gst_sample_unref(sample);
  }
  if (!gst_app_sink_is_eos(GST_APP_SINK(sink))) {
    out.error = TakeError(bus);
    if (out.error.empty()) out.error = "no EOS";
  }
  out.elements = ElementFactories(GST_BIN(pipeline));
  out.used_vxaacdec = ContainsVxaacdec(GST_BIN(pipeline));
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(bus);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  return out;
}

std::vector<std::pair<size_t, size_t>> AdtsFrames(const std::vector<uint8_t>& s) {
  std::vector<std::pair<size_t, size_t>> frames;
  size_t i = 0;
  UMC::AdtsFrameHeader h;
  while (UMC::ReadAdtsFrameHeader(s.data() + i, static_cast<int64_t>(s.size() - i), h) ==
         UMC::kAdtsHeaderOk) {
    const size_t n = static_cast<size_t>(h.variable.aac_frame_length);
    if (i + n > s.size()) break;
    frames.emplace_back(i, n);
    i += n;
  }
  return frames;
}

std::string CheckContinuity(const Output& out, GstClockTime first) {
  // Offsets are sample positions in the stream: they start at the first
  // time stamp's sample.
  const uint64_t first_sample =
      out.rate > 0 ? gst_util_uint64_scale_round(first, static_cast<guint64>(out.rate), GST_SECOND)
                   : 0;
  uint64_t samples = 0;
  for (size_t i = 0; i < out.pts.size(); ++i) {
    char msg[200];
    const GstClockTime expect = i == 0 ? first : out.pts[i - 1] + out.duration[i - 1];
    if (out.pts[i] != expect) {
      std::snprintf(msg, sizeof msg,
                    "buffer %zu: pts %" G_GUINT64_FORMAT " expected %" G_GUINT64_FORMAT, i,
                    out.pts[i], expect);
      return msg;
    }
    if (out.rate > 0 &&
        out.pts[i] != first + gst_util_uint64_scale_round(samples, GST_SECOND,
                                                          static_cast<guint64>(out.rate))) {
      std::snprintf(msg, sizeof msg, "buffer %zu: pts does not follow the sample count", i);
      return msg;
    }
    if (out.offset[i] != first_sample + samples) {
      std::snprintf(msg, sizeof msg,
                    "buffer %zu: offset %" G_GUINT64_FORMAT " expected %" G_GUINT64_FORMAT, i,
                    out.offset[i], first_sample + samples);
      return msg;
    }
    const size_t bpf = out.Frames() ? out.pcm.size() / out.Frames() : 1;
    samples += out.sizes[i] / bpf;
    if (out.offset_end[i] != first_sample + samples)
      return "offset_end does not match the buffer size";
  }
  return "";
}

}  // namespace vxgst

// GLib and GStreamer keep type and registry allocations until exit (the
// same list as tests/lsan.supp, built in so that it holds however the test
// is started).
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgstreamer-1.0.so\n"
         "leak:libgstbase-1.0.so\nleak:libgstcheck-1.0.so\nleak:libgstaudio-1.0.so\n"
         "leak:libgstpbutils-1.0.so\nleak:libgstapp-1.0.so\nleak:libgmodule-2.0.so\n"
         "leak:libgio-2.0.so\n";
}
