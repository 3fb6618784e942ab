// Containers through GStreamer: filesrc ! parsebin ! vxaacdec ! appsink.
#include <gst/app/gstappsink.h>
#include <gst/audio/audio.h>
#include <gst/gst.h>

#include <cstring>

#include "decode.h"
#include "gst/channel_layout.h"
#include "gst/vxaacdec.h"

namespace {

// Applies a decoder setting through the element property of that name, when
// the element has it.
void ApplySetting(GstElement* dec, const char* property, const char* value, bool wanted,
                  DecodeReport* report) {
  if (!wanted) return;
  if (!g_object_class_find_property(G_OBJECT_GET_CLASS(dec), property)) {
    report->notes += std::string("the element has no \"") + property + "\" property; " + value +
                     " not applied. ";
    return;
  }
  gst_util_set_object_arg(G_OBJECT(dec), property, value);
}

bool FormatFromCaps(GstCaps* caps, PcmFormat* f) {
  GstAudioInfo info;
  if (!caps || !gst_audio_info_from_caps(&info, caps)) return false;
  f->channels = GST_AUDIO_INFO_CHANNELS(&info);
  f->rate = GST_AUDIO_INFO_RATE(&info);
  f->bits = GST_AUDIO_INFO_WIDTH(&info);
  f->is_float = GST_AUDIO_INFO_IS_FLOAT(&info);
  f->channel_mask = 0;
  if (!GST_AUDIO_INFO_IS_UNPOSITIONED(&info) && f->channels <= 8)
    f->channel_mask = VxWavChannelMask(f->channels, info.position);
  return f->channels > 0 && f->rate > 0 &&
         (f->bits == 8 || f->bits == 16 || f->bits == 24 || f->bits == 32);
}

// What the demuxer or parser told the decoder.
void DescribeInput(GstElement* dec, DecodeReport* report) {
  GstPad* pad = gst_element_get_static_pad(dec, "sink");
  GstCaps* caps = gst_pad_get_current_caps(pad);
  gst_object_unref(pad);
  if (!caps) return;
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  const gchar* format = gst_structure_get_string(s, "stream-format");
  report->container =
      std::string(gst_structure_get_name(s)) + (format ? std::string(", ") + format : "");
  gst_structure_get_int(s, "rate", &report->core_rate);
  gst_structure_get_int(s, "channels", &report->in_channels);
  const GValue* v = gst_structure_get_value(s, "codec_data");
  if (v && G_VALUE_HOLDS(v, GST_TYPE_BUFFER)) {
    GstBuffer* b = gst_value_get_buffer(v);
    GstMapInfo map;
    if (b && gst_buffer_map(b, &map, GST_MAP_READ)) {
      if (map.size >= 2) {
        int aot = map.data[0] >> 3;
        if (aot == 31) aot = 32 + (((map.data[0] & 7) << 3) | (map.data[1] >> 5));
        report->object_type = aot;
        report->sbr = aot == 5 || aot == 29;
        report->ps = aot == 29;
      }
      gst_buffer_unmap(b, &map);
    }
  }
  gst_caps_unref(caps);
}

// Streams that go to the decoder as the demuxer gives them, without the
// parser parsebin would put in front (FALSE ends the autoplugging):
// - LOAS: the decoder finds the frames itself, and aacparse drops the
//   frames that follow a stream's first StreamMuxConfig up to the next one;
// - ALS in MP4 (audio/mpeg with codec data of object type 36): aacparse
//   refuses what it cannot describe (more than 8 channels, rates outside
//   the AAC table).
gboolean ContinueWithParser(GstElement*, GstPad*, GstCaps* caps, gpointer) {
  const GstStructure* s = gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
  if (!s || !gst_structure_has_name(s, "audio/mpeg")) return TRUE;
  const gchar* format = gst_structure_get_string(s, "stream-format");
  if (format && std::strcmp(format, "loas") == 0) return FALSE;
  const GValue* v = gst_structure_get_value(s, "codec_data");
  if (!v || !G_VALUE_HOLDS(v, GST_TYPE_BUFFER) || !gst_value_get_buffer(v)) return TRUE;
  guint8 head[2] = {0, 0};
  if (gst_buffer_extract(gst_value_get_buffer(v), 0, head, 2) < 2) return TRUE;
  const int aot =
      (head[0] >> 3) == 31 ? 32 + (((head[0] & 7) << 3) | (head[1] >> 5)) : head[0] >> 3;
  return aot != 36;
}

std::string MessageText(GstMessage* m) {
  GError* err = nullptr;
  gchar* debug = nullptr;
  if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR)
    gst_message_parse_error(m, &err, &debug);
  else
    gst_message_parse_warning(m, &err, &debug);
  std::string text = err ? err->message : "unknown";
  if (debug) text += std::string(" (") + debug + ")";
  g_clear_error(&err);
  g_free(debug);
  return text;
}

}  // namespace

void DecodeWithGStreamer(const std::string& path, const DecoderSettings& settings,
                         PcmWriter* writer, DecodeReport* report, const ProgressFn& progress) {
  GstElement* pipeline = gst_pipeline_new("vxaac-decode");
  GstElement* src = gst_element_factory_make("filesrc", nullptr);
  GstElement* parse = gst_element_factory_make("parsebin", nullptr);
  GstElement* dec = gst_element_factory_make("vxaacdec", nullptr);
  GstElement* sink = gst_element_factory_make("appsink", nullptr);
  if (!pipeline || !src || !parse || !dec || !sink) {
    report->fatal = "GStreamer elements missing (filesrc, parsebin, vxaacdec, appsink)";
    for (GstElement* e : {pipeline, src, parse, dec, sink})
      if (e) gst_object_unref(e);
    return;
  }
  g_object_set(src, "location", path.c_str(), nullptr);
  // A bounded queue: the decoder waits for the writer rather than holding
  // the whole stream in memory.
  g_object_set(sink, "sync", FALSE, "max-buffers", 8u, nullptr);
  ApplySetting(dec, "sbr-output", settings.sbr_rate_mode ? "downsampled" : "full-rate",
               settings.sbr_rate_mode_set, report);
  ApplySetting(dec, "sbr-quality", settings.sbr_mode == 28 ? "low-power" : "high",
               settings.sbr_mode_set, report);
  const char* ps = settings.ps_mode == 1     ? "parse"
                   : settings.ps_mode == 111 ? "baseline"
                   : settings.ps_mode == 411 ? "full"
                                             : "off";
  ApplySetting(dec, "parametric-stereo", ps, settings.ps_mode_set, report);

  gst_bin_add_many(GST_BIN(pipeline), src, parse, dec, sink, nullptr);
  gst_element_link(src, parse);
  gst_element_link(dec, sink);
  g_signal_connect(parse, "autoplug-continue", G_CALLBACK(ContinueWithParser), nullptr);
  // The first parsed stream the decoder accepts is linked to it.
  g_signal_connect(parse, "pad-added", G_CALLBACK(+[](GstElement*, GstPad* pad, gpointer data) {
                     GstPad* sinkpad = gst_element_get_static_pad(GST_ELEMENT(data), "sink");
                     if (!gst_pad_is_linked(sinkpad)) gst_pad_link(pad, sinkpad);
                     gst_object_unref(sinkpad);
                   }),
                   dec);

  GstBus* bus = gst_element_get_bus(pipeline);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  PcmFormat format;
  bool have_format = false;
  // A pipeline that neither delivers samples nor reads input for this long
  // is stuck (for example a stream nothing in the pipeline can link); stop
  // rather than wait forever.
  constexpr gint64 kStallLimit = 30 * G_TIME_SPAN_SECOND;
  gint64 last_activity = g_get_monotonic_time();
  gint64 last_position = -1;
  for (;;) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), GST_SECOND / 10);
    while (GstMessage* m = gst_bus_pop_filtered(
               bus, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_WARNING))) {
      if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) {
        if (report->fatal.empty()) report->fatal = MessageText(m);
      } else {
        ++report->errors;
      }
      gst_message_unref(m);
    }
    if (!report->fatal.empty()) {
      if (sample) gst_sample_unref(sample);
      break;
    }
    if (!sample) {
      if (gst_app_sink_is_eos(GST_APP_SINK(sink))) break;
      gint64 pos = -1;
      gst_element_query_position(src, GST_FORMAT_BYTES, &pos);
      const gint64 now = g_get_monotonic_time();
      if (pos != last_position) {
        last_position = pos;
        last_activity = now;
      } else if (now - last_activity > kStallLimit) {
        report->fatal = "the pipeline stopped producing audio (stalled for 30 s)";
        break;
      }
      continue;
    }
    last_activity = g_get_monotonic_time();
    if (!have_format) {
      DescribeInput(dec, report);
      if (!FormatFromCaps(gst_sample_get_caps(sample), &format)) {
        report->fatal = "unsupported output format";
        gst_sample_unref(sample);
        break;
      }
      have_format = true;
      report->out = format;
      if (writer->IsOpen() && !writer->SetFormat(format)) {
        report->fatal = writer->Error();
        gst_sample_unref(sample);
        break;
      }
    } else {
      PcmFormat now;
      if (FormatFromCaps(gst_sample_get_caps(sample), &now)) {
        if (writer->IsOpen() && !writer->SetFormat(now)) {
          FormatRefused(writer->Format(), now, report);
          gst_sample_unref(sample);
          continue;
        }
        format = now;  // samples are counted in the format they come in
      }
    }
    // What the decoder found in the stream (implicit SBR and PS included).
    const gint profile = vx_aac_dec_stream_profile(dec);
    report->sbr = report->sbr || (profile & 0x100) != 0;
    report->ps = report->ps || (profile & 0x200) != 0;
    // Caps without codec data (LOAS, ADTS) do not name the object type.
    if (report->object_type == 0) report->object_type = profile & 0xFF;
    GstBuffer* buf = gst_sample_get_buffer(sample);
    // After the first buffer a discontinuity means damaged or lost frames
    // (the decoder counts damaged frames against max-errors instead of
    // posting a warning for each).
    if (report->frames > 0 && GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_DISCONT))
      ++report->errors;
    GstMapInfo map;
    if (gst_buffer_map(buf, &map, GST_MAP_READ)) {
      ++report->frames;
      report->samples += map.size / static_cast<size_t>(format.channels * format.bits / 8);
      if (writer->IsOpen() && !writer->Write(map.data, map.size)) report->fatal = writer->Error();
      gst_buffer_unmap(buf, &map);
    }
    gst_sample_unref(sample);
    if (progress) {
      gint64 pos = 0;
      gst_element_query_position(src, GST_FORMAT_BYTES, &pos);
      progress(static_cast<uint64_t>(pos > 0 ? pos : 0), *report);
    }
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(bus);
  gst_object_unref(pipeline);
  if (report->fatal.empty() && report->frames == 0) report->fatal = "no AAC or ALS audio found";
}
