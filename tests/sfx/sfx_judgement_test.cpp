// One judgement of a payload, in every command and as the launcher makes it; inputs that change
// or cannot be read as they are; and list --json, one object whatever happens.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "sfx_expected.h"
#include "sfx_runner.h"
#include "test_data.h"

namespace {

// ---- reader judgements ---------------------------------------------------------------------------

// Four bytes zeroed in the middle of a coded block: the file is whole, but the block is damaged;
// extract and list name the block, as verify does, and none of them calls the file cut short.
TEST(SfxJudgement, ADamagedBlockIsNamedAsDamageByEveryCommand) {
  ScratchDir dir;
  const Bytes data = test_data::text_like(64000 * 4, 71);
  Bytes payload = expected_payload(data);
  const size_t block_2 = block_offset(payload, 2);
  const size_t length = block_length(payload, block_2);
  for (size_t i = 0; i < 4; ++i) payload[block_2 + 2 + length / 2 + i] = 0;
  write_file(dir.file("p"), payload);
  const std::string named = "block 2 at offset " + std::to_string(block_2);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"extract", "p", "-o", "out"}, {"verify", "p"}, {"list", "p"}}) {
    SCOPED_TRACE(args.front());
    const SfxResult result = run_sfx(dir, args);
    const std::string said = result.out + result.err;
    EXPECT_TRUE(contains(said, named)) << said;
    EXPECT_FALSE(contains(said, "cut short")) << said;
    EXPECT_EQ(result.status, args.front() == "list" ? 0 : 1);
  }
  EXPECT_FALSE(file_exists(dir.file("out")));
}

// What the launcher refuses, the tool refuses: a bare payload cut at a block boundary (no record,
// no end mark), and a launcher followed by a payload with no program in it.
TEST(SfxJudgement, TheToolRefusesWhatTheLauncherRefuses) {
  ScratchDir dir;
  const Bytes data = test_data::mixed(64000 * 2 + 500, 72);
  const Bytes bare = expected_payload(data, 64000, false);
  const size_t first_end = 13 + 2 + block_length(bare, 13);
  write_file(dir.file("cut"), Bytes(bare.begin(), bare.begin() + static_cast<std::ptrdiff_t>(first_end)));
  write_file(dir.file("empty"), concat({program_stub(700), expected_payload({})}));
  for (const auto& [file, says] : {std::pair<const char*, const char*>{"cut", "no end mark and no integrity record"},
                                   {"empty", "the payload holds no data"}}) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"verify", file},
                                                 {"extract", file, "-o", "out"}}) {
      SCOPED_TRACE(std::string(args.front()) + " " + file);
      const SfxResult result = run_sfx(dir, args);
      EXPECT_EQ(result.status, 1);
      EXPECT_TRUE(contains(result.err, says)) << result.err;
    }
  }
  EXPECT_FALSE(file_exists(dir.file("out")));
}

// ---- inputs --------------------------------------------------------------------------------------

// An installer that grows while it is packed into a file is refused: the packed copy would
// describe neither the file that was nor the one that is.
TEST(SfxInputs, AnInputThatChangesWhileItIsReadIsRefused) {
  ScratchDir dir;
  write_file(dir.file("setup.sh"), concat({bytes_of("#!/bin/sh\n"), test_data::text_like(4 << 20, 73)}));
  for (const char* command : {"pack", "compress"}) {
    SCOPED_TRACE(command);
    std::atomic<bool> done{false};
    std::thread writer([&] {
      std::ofstream out(dir.file("setup.sh"), std::ios::binary | std::ios::app);
      while (!done) {
        out << std::string(1024, 'x') << std::flush;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    std::vector<std::string> args = {command, "setup.sh", "-o", "out"};
    if (std::string(command) == "pack") args.insert(args.end(), {"--stub", "posix"});
    const SfxResult result = run_sfx(dir, args);
    done = true;
    writer.join();
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(contains(result.err, "sfx: setup.sh: changed while it was read")) << result.err;
    EXPECT_FALSE(file_exists(dir.file("out")));
  }
}

// A file whose size the system does not tell is packed as it reads; the stdin copy is made in
// TMPDIR, which a failure names.
TEST(SfxInputs, FilesAreTakenAsTheyRead) {
  ScratchDir dir;
  write_file(dir.file("cpu.sh"), bytes_of("#!/bin/sh\n"));
  const SfxResult proc = run_sfx(dir, {"compress", "/proc/self/status", "-o", "status.payload"});
  EXPECT_EQ(proc.status, 0) << proc.err;
  RunOptions piped;
  piped.stdin_bytes = test_data::text_like(1000, 74);
  piped.stdin_pipe = true;
  piped.environment = {"TMPDIR=" + dir.file("no-such-folder")};
  const SfxResult scratch = run_sfx_with(dir, {"compress", "-", "-o", "-"}, piped);
  EXPECT_EQ(scratch.status, 2);
  EXPECT_TRUE(contains(scratch.err, "cannot make a temporary copy in " + dir.file("no-such-folder"))) << scratch.err;
}

// ---- list --json: one object, whatever happens ---------------------------------------------------

nlohmann::json json_of(const SfxResult& result) {
  return nlohmann::json::parse(result.out, nullptr, false);
}

TEST(SfxListJson, IsOneObjectWhateverHappens) {
  ScratchDir dir;
  const Bytes data = test_data::text_like(64000 * 3, 75);
  Bytes damaged = concat({program_stub(900), expected_payload(data)});
  damaged.resize(damaged.size() - 1000);  // the last block cut
  write_file(dir.file("damaged"), damaged);
  write_file(dir.file("none"), program_stub(900));
  const std::string odd_name = "setup-\xff\xfe.exe";  // not UTF-8
  write_file(dir.file(odd_name), concat({program_stub(900), expected_payload(data)}));

  const nlohmann::json cut = json_of(run_sfx(dir, {"list", "--json", "damaged"}));
  ASSERT_TRUE(cut.is_object());
  EXPECT_TRUE(cut["pe"].is_object());
  EXPECT_EQ(cut["marker_offset"], 900 + 32);
  EXPECT_EQ(cut["record"]["status"], "present");
  EXPECT_EQ(cut["blocks"].size(), 2u) << "the blocks before the damage";
  EXPECT_TRUE(cut["error"]["message"].get<std::string>().find("block 2") != std::string::npos);

  const SfxResult none = run_sfx(dir, {"list", "--json", "none"});
  EXPECT_EQ(none.status, 1);
  ASSERT_TRUE(json_of(none).is_object());
  EXPECT_TRUE(json_of(none)["error"]["message"].get<std::string>().find("no payload found") != std::string::npos);
  EXPECT_TRUE(json_of(none)["pe"].is_object());

  const SfxResult odd = run_sfx(dir, {"list", "--json", "--totals", odd_name});
  EXPECT_EQ(odd.status, 0) << odd.err;
  const nlohmann::json listed = json_of(odd);
  ASSERT_TRUE(listed.is_object()) << odd.out;
  EXPECT_EQ(listed["file_hex"], "73657475702dfffe2e657865");
  EXPECT_FALSE(listed.contains("blocks")) << "--totals leaves the blocks out";
  EXPECT_EQ(listed["totals"]["blocks"], 3);

  const SfxResult missing = run_sfx(dir, {"list", "--json", "nowhere"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_TRUE(json_of(missing)["error"].is_object()) << missing.out;
}

}  // namespace
