#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "gst/gst_helpers.h"

namespace {

const char* kSinkCaps =
    "audio/mpeg, mpegversion=(int){ 2, 4 }, stream-format=(string){ raw, adts, adif }; "
    "audio/mpeg, mpegversion=(int)4, stream-format=(string)loas";
const char* kSrcCaps =
    "audio/x-raw, format=(string){ S16LE, S8, S24LE, S32LE, F32LE }, layout=(string)interleaved, "
    "rate=(int)[ 1, 2147483647 ], channels=(int)[ 1, 8 ]";

TEST(Registry, FactoryMetadataRankAndPads) {
  vxgst::EnsureGst();
  GstElementFactory* f = gst_element_factory_find("vxaacdec");
  ASSERT_NE(f, nullptr) << "vxaacdec not found on " VX_PLUGIN_DIR;
  EXPECT_EQ(gst_plugin_feature_get_rank(GST_PLUGIN_FEATURE(f)), 258u);
  EXPECT_STREQ(gst_element_factory_get_metadata(f, GST_ELEMENT_METADATA_KLASS),
               "Codec/Decoder/Audio");
  EXPECT_STREQ(gst_element_factory_get_metadata(f, GST_ELEMENT_METADATA_LONGNAME), "AAC Decoder");
  EXPECT_STREQ(gst_element_factory_get_metadata(f, GST_ELEMENT_METADATA_DESCRIPTION),
               "Decode AAC audio");
  const gchar* author = gst_element_factory_get_metadata(f, GST_ELEMENT_METADATA_AUTHOR);
  ASSERT_NE(author, nullptr);
  EXPECT_EQ(std::string(author).rfind("Corvane <", 0), 0u);

  GstPlugin* plugin = gst_plugin_feature_get_plugin(GST_PLUGIN_FEATURE(f));
  ASSERT_NE(plugin, nullptr);
  EXPECT_STREQ(gst_plugin_get_description(plugin), "Corvane AAC Decoder");
  EXPECT_STREQ(gst_plugin_get_version(plugin), "1.0.0.1");
  EXPECT_STREQ(gst_plugin_get_license(plugin), "LGPL");
  EXPECT_STREQ(gst_plugin_get_source(plugin), "vx-codecs");
  EXPECT_STREQ(gst_plugin_get_package(plugin), "vx-codecs");
  gst_object_unref(plugin);

  int pads = 0;
  for (const GList* l = gst_element_factory_get_static_pad_templates(f); l; l = l->next) {
    auto* t = static_cast<GstStaticPadTemplate*>(l->data);
    EXPECT_EQ(t->presence, GST_PAD_ALWAYS);
    GstCaps* caps = gst_static_caps_get(&t->static_caps);
    GstCaps* expected = gst_caps_from_string(t->direction == GST_PAD_SINK ? kSinkCaps : kSrcCaps);
    EXPECT_TRUE(gst_caps_is_equal(caps, expected)) << t->name_template;
    EXPECT_STREQ(t->name_template, t->direction == GST_PAD_SINK ? "sink" : "src");
    gst_caps_unref(caps);
    gst_caps_unref(expected);
    ++pads;
  }
  EXPECT_EQ(pads, 2);
  // LOAS as tsdemux and aacparse give it; LATM exists only in MPEG-4.
  GstCaps* loas = gst_caps_from_string("audio/mpeg, mpegversion=4, stream-format=loas");
  EXPECT_TRUE(gst_element_factory_can_sink_any_caps(f, loas));
  gst_caps_unref(loas);
  GstCaps* loas2 = gst_caps_from_string("audio/mpeg, mpegversion=2, stream-format=loas");
  EXPECT_FALSE(gst_element_factory_can_sink_any_caps(f, loas2));
  gst_caps_unref(loas2);
  gst_object_unref(f);
}

TEST(Registry, InstanceHasPadsAndTheDecoderProperties) {
  vxgst::EnsureGst();
  GstElement* e = gst_element_factory_make("vxaacdec", nullptr);
  ASSERT_NE(e, nullptr);
  GstPad* sink = gst_element_get_static_pad(e, "sink");
  GstPad* src = gst_element_get_static_pad(e, "src");
  ASSERT_NE(sink, nullptr);
  ASSERT_NE(src, nullptr);
  // Exactly the three decoder parameters, with the decoder's defaults:
  // downsampled SBR output, complex banks, parametric stereo not parsed.
  guint n = 0;
  GParamSpec** props = g_object_class_list_properties(G_OBJECT_GET_CLASS(e), &n);
  std::vector<std::string> own;
  for (guint i = 0; i < n; ++i) {
    if (props[i]->owner_type == G_OBJECT_TYPE(e)) own.push_back(g_param_spec_get_name(props[i]));
  }
  g_free(props);
  std::sort(own.begin(), own.end());
  EXPECT_EQ(own, (std::vector<std::string>{"parametric-stereo", "sbr-output", "sbr-quality"}));
  auto nick = [&](const char* name) {
    gint v = -1;
    g_object_get(e, name, &v, nullptr);
    GEnumClass* k = G_ENUM_CLASS(g_type_class_ref(
        G_PARAM_SPEC_VALUE_TYPE(g_object_class_find_property(G_OBJECT_GET_CLASS(e), name))));
    const GEnumValue* ev = g_enum_get_value(k, v);
    std::string s = ev ? ev->value_nick : "?";
    g_type_class_unref(k);
    return s;
  };
  EXPECT_EQ(nick("sbr-output"), "downsampled");
  EXPECT_EQ(nick("sbr-quality"), "high");
  EXPECT_EQ(nick("parametric-stereo"), "off");
  gst_util_set_object_arg(G_OBJECT(e), "parametric-stereo", "full");
  EXPECT_EQ(nick("parametric-stereo"), "full");
  EXPECT_STREQ(G_OBJECT_TYPE_NAME(e), "VxAACDec");
  gst_object_unref(sink);
  gst_object_unref(src);
  // Finalising an element that never saw data must not touch a decoder.
  gst_object_unref(e);
}

// The real inspection tool sees the same (it loads the plug-in itself).
TEST(Registry, GstInspectShowsTheElement) {
  if (vxgst::SanitizerBuild()) GTEST_SKIP() << "external tools cannot load an instrumented plug-in";
  const std::string cmd = "GST_PLUGIN_PATH=" VX_PLUGIN_DIR " gst-inspect-1.0 vxaacdec 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  EXPECT_EQ(pclose(p), 0) << text;
  for (const char* needle :
       {"primary + 2 (258)", "AAC Decoder", "Codec/Decoder/Audio", "SINK template: 'sink'",
        "SRC template: 'src'", "stream-format: { (string)raw, (string)adts, (string)adif }",
        "Availability: Always"})
    EXPECT_NE(text.find(needle), std::string::npos) << needle << "\n" << text;
}

}  // namespace
