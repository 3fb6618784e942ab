#include "umc/base_codec.h"

namespace UMC {

UMC_DEFINE_CLASS(BaseCodecParams)
UMC_DEFINE_CLASS(BaseCodec)

}  // namespace UMC
