// LOAS through the element: unparsed files, LATM from tsdemux, and a
// configuration change on the caps (refused multiplexes: stress_test.cpp,
// the documented messages).
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <string>

#include "gst/gst_helpers.h"

namespace {

#define REQUIRE_DECODER()                                                   \
  do {                                                                      \
    vxgst::EnsureGst();                                                     \
    if (!vxgst::DecoderAvailable()) GTEST_SKIP() << "no decoder linked in"; \
  } while (0)

std::string Path(const char* name) {
  return std::string(VX_TEST_DATA_DIR) + "/" + name;
}

vxgst::Output Launch(const char* name, const char* route) {
  return vxgst::RunPipeline("filesrc blocksize=700 location=\"" + Path(name) + "\" ! " + route);
}

// The fixtures carry the access units of the ADTS clip: the same PCM.
TEST(Loas, UnparsedFilesAndTransportStreamsDecodeLikeAdts) {
  REQUIRE_DECODER();
  const vxgst::Output adts = Launch("aac/lc_44k_st_ms.aac", "vxaacdec");
  ASSERT_EQ(adts.error, "");
  ASSERT_GT(adts.pcm.size(), 0u);
  const char* routes[][2] = {{"latm/lc_44k_st_ms.loas", "vxaacdec"},
                             {"latm/lc_44k_st_ms_v0_sub.loas", "vxaacdec"},
                             {"latm/lc_44k_st_ms_latm.ts", "tsdemux ! vxaacdec"}};
  for (const auto& r : routes) {
    SCOPED_TRACE(r[0]);
    const vxgst::Output out = Launch(r[0], r[1]);
    EXPECT_EQ(out.error, "");
    EXPECT_EQ(out.channels, 2);
    EXPECT_EQ(out.rate, 44100);
    EXPECT_TRUE(out.pcm == adts.pcm);
    EXPECT_EQ(vxgst::CheckContinuity(out, out.pts.empty() ? 0 : out.pts[0]), "");
  }
}

TEST(Loas, ConfigurationChangeChangesTheCaps) {
  REQUIRE_DECODER();
  const vxgst::Output a = Launch("aac/lc_44k_st_ms.aac", "vxaacdec");
  const vxgst::Output b = Launch("aac/lc_24k_51_crc.aac", "vxaacdec");
  const vxgst::Output s = Launch("latm/switch_st_51.loas", "vxaacdec");
  EXPECT_EQ(s.error, "");
  EXPECT_EQ(s.caps_changes, 2);
  EXPECT_EQ(s.channels, 6);
  EXPECT_EQ(s.rate, 24000);
  std::vector<uint8_t> both = a.pcm;
  both.insert(both.end(), b.pcm.begin(), b.pcm.end());
  EXPECT_TRUE(s.pcm == both);
}

}  // namespace
