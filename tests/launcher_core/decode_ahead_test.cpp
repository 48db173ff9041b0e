// Blocks decoded ahead on helper threads (real threads under the fake): the same bytes in the
// same order whatever the number of processors, and a damaged block anywhere ends the run with the
// message, nothing started and nothing left, whichever thread decoded it.
#include <gtest/gtest.h>

#include <string>

#include "fake_platform.h"
#include "integrity.h"
#include "launcher.h"
#include "run_payload.h"

namespace {

using payload_builder::Bytes;
namespace pb = run_payload;

// Stored, coded, tiny and 65,020-byte blocks, and the data they hold.
Bytes mixed_payload(Bytes* data, int damaged_block) {
  Bytes payload = payload_builder::marker();
  const Bytes pieces[] = {pb::sample_data(65020, 3), Bytes(1, 7), pb::sample_data(30000, 4), Bytes(65020, 0),
                          pb::sample_data(5, 5), pb::sample_data(64000, 6)};
  int n = 0;
  for (int round = 0; round < 3; ++round) {
    for (const Bytes& piece : pieces) {
      Bytes block = (n % 2 == 0) ? pb::stored_block(piece) : payload_builder::encoded_block(piece);
      if (n == damaged_block) block[block.size() / 2 + 2] ^= 0x5A;
      if (n == damaged_block && block[0] == 1) block.resize(5);  // a stored block cut: coded it is not
      pb::append_block(payload, block);
      data->insert(data->end(), piece.begin(), piece.end());
      ++n;
    }
  }
  pb::append_end_mark(payload);
  return payload;
}

TEST(DecodeAhead, SameBytesOnAnyNumberOfProcessorsAndDamageFailsAlike) {
  for (const uint32_t processors : {1u, 2u, 3u, 8u}) {
    for (const int damaged : {-1, 0, 7, 17}) {
      SCOPED_TRACE("processors " + std::to_string(processors) + ", damaged block " + std::to_string(damaged));
      fake::reset();
      auto& p = fake::platform();
      p.processors = processors;
      Bytes data;
      const Bytes payload = mixed_payload(&data, damaged);
      Bytes file = pb::text("MZ launcher image");
      const Bytes checked = payload_builder::checked_payload(data, 64000, true, INTEGRITY_FLAG_WAIT);
      // The record of the whole data, then the hand-made blocks.
      file.insert(file.end(), checked.begin(), checked.begin() + INTEGRITY_RECORD_BYTES);
      pb::append(file, payload);
      p.files[p.own_path] = file;
      const int status = launcher_main("");
      EXPECT_EQ(p.threads_started, processors > 1 ? static_cast<int>(std::min(processors, 4u)) : 0);
      if (damaged < 0) {
        EXPECT_EQ(status, 0);
        ASSERT_EQ(p.runs.size(), 1u);
        EXPECT_TRUE(p.runs[0].program_bytes == data);
      } else {
        EXPECT_EQ(status, LAUNCHER_EXIT_BAD_PAYLOAD);
        EXPECT_TRUE(p.runs.empty());
        EXPECT_EQ(p.messages.size(), 1u);
      }
      EXPECT_TRUE(p.folders.empty());
      EXPECT_TRUE(p.open_files.empty());
    }
  }
}

}  // namespace
