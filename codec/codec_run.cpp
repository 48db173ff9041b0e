// The codec's single entry, and its status texts.
#include "codec.h"

CodecStatus codec_run(uint16_t action, CodecWorkspace* workspace, const uint8_t* src,
                      uint32_t src_len, uint8_t* dst, uint32_t* dst_len, uint32_t dst_capacity) {
  switch (action) {
    case CODEC_ENCODE:
      if (dst_capacity < encode_bound(src_len)) return CODEC_DST_TOO_SMALL;
      block_encode(workspace, src, src_len, dst, dst_len);
      return CODEC_OK;
    case CODEC_DECODE:
      return block_decode(workspace, src, src_len, dst, dst_len, dst_capacity);
    default:
      return CODEC_BAD_ACTION;
  }
}

const char* codec_status_text(CodecStatus status) {
  switch (status) {
    case CODEC_OK: return "ok";
    case CODEC_MALFORMED: return "the block is malformed (cut short or shorter than its header)";
    case CODEC_DST_TOO_SMALL: return "the decoded data would not fit the buffer";
    case CODEC_BAD_ACTION: return "unknown codec action";
  }
  return "unknown codec status";
}
