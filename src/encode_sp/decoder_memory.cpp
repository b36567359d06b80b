/* The two globals the decoder's synthesis code refers to, for the copy of
 * that code the encoder carries (see CMakeLists.txt).  The encoder keeps
 * its own memories and never touches g_sp. */
#include "codec_sp/sp_state.h"

namespace kvx {

SpDecoderState g_sp;
bool g_spFastPaths = true;

} // namespace kvx
