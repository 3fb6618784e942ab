// Plug-in and element registration: type, pads, properties, finalisation.
#include "gst/vxaacdec.h"

#include "dsp/dsp_core.h"
#include "gst/als_typefind.h"
#include "gst/vxaacdec_private.h"

#ifndef PACKAGE
#define PACKAGE "vx-codecs"
#endif

GST_DEBUG_CATEGORY(vx_aac_dec_debug);

namespace {

// Input: MPEG-2/4 AAC (and ALS, under the same caps) framed as raw access
// units, ADTS or ADIF; MPEG-4 AAC in LOAS (LATM with in-band configuration);
// raw ALS streams as the plug-in's type finder names them.
GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/mpeg, mpegversion=(int){ 2, 4 }, "
                    "stream-format=(string){ raw, adts, adif }; "
                    "audio/mpeg, mpegversion=(int)4, stream-format=(string)loas; "
                    "audio/x-als"));

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-raw, format=(string){ S16LE, S8, S24LE, S32LE, F32LE }, "
                    "layout=(string)interleaved, rate=(int)[ 1, 2147483647 ], "
                    "channels=(int)[ 1, 65536 ]"));

constexpr GstClockTime kDefaultTolerance = 40 * GST_MSECOND;

// Property ids.  Each property reads or writes one field of
// VxAACDecSettings under the object lock; a new value applies from the next
// decoder creation.
enum {
  PROP_0,
  PROP_SBR_OUTPUT,
  PROP_SBR_QUALITY,
  PROP_PARAMETRIC_STEREO,
};

// Enum types of the properties; their values are the decoder parameters.
GType SbrOutputType() {
  static GType type = 0;
  static const GEnumValue values[] = {
      {1, "SBR output at the core rate (32-band synthesis)", "downsampled"},
      {0, "SBR output at twice the core rate", "full-rate"},
      {0, nullptr, nullptr}};
  if (g_once_init_enter(&type))
    g_once_init_leave(&type, g_enum_register_static("VxAACDecSbrOutput", values));
  return type;
}

GType SbrQualityType() {
  static GType type = 0;
  static const GEnumValue values[] = {{18, "Complex-valued (high quality) QMF banks", "high"},
                                      {28, "Real-valued (low power) QMF banks", "low-power"},
                                      {0, nullptr, nullptr}};
  if (g_once_init_enter(&type))
    g_once_init_leave(&type, g_enum_register_static("VxAACDecSbrQuality", values));
  return type;
}

GType ParametricStereoType() {
  static GType type = 0;
  static const GEnumValue values[] = {{0, "Parametric stereo data is not parsed", "off"},
                                      {1, "Parsed, output stays mono", "parse"},
                                      {111, "Stereo output, baseline", "baseline"},
                                      {411, "Stereo output, full", "full"},
                                      {0, nullptr, nullptr}};
  if (g_once_init_enter(&type)) {
    g_once_init_leave(&type, g_enum_register_static("VxAACDecParametricStereo", values));
  }
  return type;
}

}  // namespace

#define vx_aac_dec_parent_class parent_class
G_DEFINE_TYPE(VxAACDec, vx_aac_dec, GST_TYPE_AUDIO_DECODER)

static void vx_aac_dec_set_property(GObject* object, guint prop_id, const GValue* value,
                                    GParamSpec* pspec) {
  g_return_if_fail(GST_IS_VX_AAC_DEC(object));
  VxAACDec* dec = GST_VX_AAC_DEC(object);
  GST_DEBUG_OBJECT(dec, "vx_aac_dec_set_property");
  GST_OBJECT_LOCK(dec);
  switch (prop_id) {
    case PROP_SBR_OUTPUT:
      dec->settings.sbr_rate_mode = g_value_get_enum(value);
      break;
    case PROP_SBR_QUALITY:
      dec->settings.sbr_mode = g_value_get_enum(value);
      break;
    case PROP_PARAMETRIC_STEREO:
      dec->settings.ps_mode = g_value_get_enum(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK(dec);
}

static void vx_aac_dec_get_property(GObject* object, guint prop_id, GValue* value,
                                    GParamSpec* pspec) {
  g_return_if_fail(GST_IS_VX_AAC_DEC(object));
  VxAACDec* dec = GST_VX_AAC_DEC(object);
  GST_OBJECT_LOCK(dec);
  switch (prop_id) {
    case PROP_SBR_OUTPUT:
      g_value_set_enum(value, dec->settings.sbr_rate_mode);
      break;
    case PROP_SBR_QUALITY:
      g_value_set_enum(value, dec->settings.sbr_mode);
      break;
    case PROP_PARAMETRIC_STEREO:
      g_value_set_enum(value, dec->settings.ps_mode);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK(dec);
}

static void vx_aac_dec_finalize(GObject* object) {
  GST_DEBUG_OBJECT(object, "finalize");
  g_return_if_fail(GST_IS_VX_AAC_DEC(object));
  VxAACDec* dec = GST_VX_AAC_DEC(object);
  vx_aac_dec_stop(GST_AUDIO_DECODER(dec));
  vx_aac_dec_seek_free(dec);
  G_OBJECT_CLASS(parent_class)->finalize(object);
}

static void vx_aac_dec_class_init(VxAACDecClass* klass) {
  GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  GstAudioDecoderClass* base_class = GST_AUDIO_DECODER_CLASS(klass);
  gobject_class->set_property = vx_aac_dec_set_property;
  gobject_class->get_property = vx_aac_dec_get_property;
  gobject_class->finalize = vx_aac_dec_finalize;
  element_class->post_message = GST_DEBUG_FUNCPTR(vx_aac_dec_post_message);

  base_class->start = GST_DEBUG_FUNCPTR(vx_aac_dec_start);
  base_class->stop = GST_DEBUG_FUNCPTR(vx_aac_dec_stop);
  base_class->set_format = GST_DEBUG_FUNCPTR(vx_aac_dec_set_format);
  base_class->parse = GST_DEBUG_FUNCPTR(vx_aac_dec_parse);
  base_class->handle_frame = GST_DEBUG_FUNCPTR(vx_aac_dec_handle_frame);
  base_class->flush = GST_DEBUG_FUNCPTR(vx_aac_dec_flush);
  base_class->pre_push = GST_DEBUG_FUNCPTR(vx_aac_dec_pre_push);
  base_class->sink_event = GST_DEBUG_FUNCPTR(vx_aac_dec_sink_event);
  base_class->src_event = GST_DEBUG_FUNCPTR(vx_aac_dec_src_event);
  base_class->src_query = GST_DEBUG_FUNCPTR(vx_aac_dec_src_query);
  base_class->decide_allocation = GST_DEBUG_FUNCPTR(vx_aac_dec_decide_allocation);

  // The decoder parameters; a change applies when the decoder is next
  // created (a new stream, a flush or a state change to READY and back).
  const GParamFlags flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                     GST_PARAM_MUTABLE_PLAYING);
  g_object_class_install_property(
      gobject_class, PROP_SBR_OUTPUT,
      g_param_spec_enum("sbr-output", "SBR output",
                        "Output rate of HE-AAC: the core rate or twice the core rate (applies "
                        "from the next decoder creation)",
                        SbrOutputType(), 1, flags));
  g_object_class_install_property(
      gobject_class, PROP_SBR_QUALITY,
      g_param_spec_enum("sbr-quality", "SBR quality",
                        "QMF filter banks of SBR (applies from the next decoder creation)",
                        SbrQualityType(), 18, flags));
  g_object_class_install_property(
      gobject_class, PROP_PARAMETRIC_STEREO,
      g_param_spec_enum("parametric-stereo", "Parametric stereo",
                        "Parametric stereo handling of HE-AAC v2 (applies from the next decoder "
                        "creation)",
                        ParametricStereoType(), 0, flags));

  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_set_static_metadata(element_class, "AAC Decoder", "Codec/Decoder/Audio",
                                        "Decode AAC audio", "Corvane <support@corvane.example>");
}

static void vx_aac_dec_init(VxAACDec* dec) {
  GST_DEBUG_OBJECT(dec, "init");
  dec->settings.sbr_mode = 18;
  dec->settings.sbr_rate_mode = 1;
  dec->settings.ps_mode = 0;
  dec->base_time = 0;
  dec->drop_before = GST_CLOCK_TIME_NONE;
  vx_aac_dec_seek_init(dec);
  GstAudioDecoder* base = GST_AUDIO_DECODER(dec);
  gst_audio_decoder_set_drainable(base, TRUE);
  gst_audio_decoder_set_needs_format(base, FALSE);
  // Time stamps count samples while upstream's stay within 40 ms of that
  // count (demuxer rounding and jitter); a larger jump (lost data, a gap in
  // the recording) is followed.
  gst_audio_decoder_set_tolerance(base, kDefaultTolerance);
}

static gboolean plugin_init(GstPlugin* plugin) {
  if (dspStaticInit() < 0) return FALSE;
  if (!vx_aac_dec_debug)
    GST_DEBUG_CATEGORY_INIT(vx_aac_dec_debug, "vxaacdec", 0, "Corvane AAC Decoder");
  gst_element_register(plugin, "vxaacdec", 258, GST_TYPE_VX_AAC_DEC);
  vx_als_typefind_register(plugin);
  vx_aac_parse_register(plugin);
  vx_loas_parse_register(plugin);
  return TRUE;
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, vxaacdec, "Corvane AAC Decoder",
                  plugin_init, "1.0.0.1", "LGPL", "vx-codecs", "https://corvane.example/vx-codecs")
