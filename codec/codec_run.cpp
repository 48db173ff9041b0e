// The codec's status texts (codec_run itself is defined, inline, in codec.h).
#include "codec.h"

const char* codec_status_text(CodecStatus status) {
  switch (status) {
    case CODEC_OK: return "ok";
    case CODEC_MALFORMED: return "the block is malformed (cut short or shorter than its header)";
    case CODEC_DST_TOO_SMALL: return "the decoded data would not fit the buffer";
    case CODEC_BAD_ACTION: return "unknown codec action";
  }
  return "unknown codec status";
}
