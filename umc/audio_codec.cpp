#include "umc/audio_codec.h"

namespace UMC {

UMC_DEFINE_CLASS(AudioCodecParams)
UMC_DEFINE_CLASS(AACDecoderParams)
UMC_DEFINE_CLASS(AudioCodec)

}  // namespace UMC
