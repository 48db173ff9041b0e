// The resource tree of a PE image read and built again, its section replaced, and the PE
// checksum: against the built launcher, wrestool and objdump, and the linker's own checksum.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "identity_test_util.h"
#include "mem.h"
#include "pe_checksum.h"
#include "pe_resources.h"

namespace {

#define NEED_LAUNCHER() \
  if (built_launcher().empty()) GTEST_SKIP() << "the build made no Windows launcher"

ResourceEntry entry(uint16_t type, ResourceName name, uint16_t language, Bytes data) {
  ResourceEntry e;
  e.type = ResourceName::of_id(type);
  e.name = std::move(name);
  e.language = language;
  e.data = std::move(data);
  return e;
}

std::vector<ResourceEntry> launcher_resources() {
  const Bytes& stub = built_launcher();
  return resources_parse(stub.data(), stub.size(), pe_layout_read(stub.data(), stub.size()));
}

// A reference written as the format's description reads: one word at a time, carry folded at
// once, the field's bytes skipped, the length added.
uint32_t reference_checksum(const Bytes& file, size_t field) {
  uint32_t sum = 0;
  for (size_t i = 0; i < file.size(); i += 2) {
    const auto byte = [&](size_t k) -> uint32_t { return k < file.size() && (k < field || k >= field + 4) ? file[k] : 0; };
    sum += byte(i) | byte(i + 1) << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return sum + static_cast<uint32_t>(file.size());
}

TEST(PeResources, TheLauncherReadsAsWrestoolListsIt) {
  NEED_LAUNCHER();
  std::string listing;
  ASSERT_EQ(run_command("wrestool -l " + shell_quoted(SFX_WINDOWS_LAUNCHER_FILE), &listing), 0);
  std::string ours;
  for (const ResourceEntry& e : launcher_resources())
    ours += "--type=" + std::to_string(e.type.id) + " --name=" + std::to_string(e.name.id) +
            " --language=" + std::to_string(e.language) + " size=" + std::to_string(e.data.size()) + "\n";
  std::string theirs;  // "--type=3 --name=1 --language=1033 [type=icon offset=0x... size=744]"
  for (size_t at = 0; at < listing.size();) {
    const size_t end = listing.find('\n', at);
    const std::string line = listing.substr(at, end - at);
    theirs += line.substr(0, line.find(" [")) + " size=" + line.substr(line.rfind("size=") + 5);
    theirs.pop_back();  // "]"
    theirs += "\n";
    at = end + 1;
  }
  EXPECT_EQ(ours, theirs);
}

TEST(PeResources, RebuiltSectionHoldsTheSameResourcesAndIsStable) {
  NEED_LAUNCHER();
  TempFolder folder;
  const Bytes& stub = built_launcher();
  std::vector<ResourceEntry> entries = launcher_resources();
  // A named type and a named resource as well, to hold the strings and their order.
  entries.push_back(entry(10, ResourceName::of_text(u"ZED"), 1033, Bytes(5000, 0xAB)));
  entries.push_back(entry(10, ResourceName::of_text(u"ALPHA"), 1033, {1, 2, 3}));
  entries.push_back(entry(10, ResourceName::of_id(7), 1031, {4}));
  entries.push_back(entry(10, ResourceName::of_id(7), 1033, {5}));

  const PeLayout layout = pe_layout_read(stub.data(), stub.size());
  const uint32_t rva = pe_rebuildable_resource_section(stub.data(), stub.size(), layout).virtual_address;
  const Bytes rebuilt = pe_replace_resources(stub, resources_build(entries, rva));
  write_bytes(folder.file("rebuilt.exe"), rebuilt);

  const std::vector<ResourceEntry> again =
      resources_parse(rebuilt.data(), rebuilt.size(), pe_layout_read(rebuilt.data(), rebuilt.size()));
  EXPECT_TRUE(again == resources_sorted(entries));
  for (const ResourceEntry& e : launcher_resources())
    EXPECT_EQ(wrestool_raw(folder.file("rebuilt.exe"), e.type.id, e.name.id), e.data) << e.type.id << "/" << e.name.id;
  std::string listing;
  run_command("wrestool -l " + shell_quoted(folder.file("rebuilt.exe")), &listing);
  // Named entries first, sorted; then ids.
  const size_t alpha = listing.find("--type=10 --name='ALPHA'"), zed = listing.find("--type=10 --name='ZED'");
  ASSERT_NE(alpha, std::string::npos) << listing;
  ASSERT_NE(zed, std::string::npos) << listing;
  EXPECT_LT(alpha, zed) << listing;
  EXPECT_LT(zed, listing.find("--type=10 --name=7 --language=1031")) << listing;

  // Order of the list does not matter; rebuilding the rebuilt program changes nothing.
  std::vector<ResourceEntry> reversed(entries.rbegin(), entries.rend());
  EXPECT_EQ(resources_build(reversed, rva), resources_build(entries, rva));
  EXPECT_EQ(pe_replace_resources(rebuilt, resources_build(again, rva)), rebuilt);
}

TEST(PeResources, ReplacingChangesOnlyTheNamedHeaderFields) {
  NEED_LAUNCHER();
  TempFolder folder;
  const Bytes& stub = built_launcher();
  const PeLayout layout = pe_layout_read(stub.data(), stub.size());
  const PeSection& section = pe_rebuildable_resource_section(stub.data(), stub.size(), layout);
  std::vector<ResourceEntry> entries = launcher_resources();
  entries.push_back(entry(10, ResourceName::of_id(1), 1033, Bytes(9000, 0x5A)));  // grows past a page
  const Bytes rsrc = resources_build(entries, section.virtual_address);
  const Bytes rebuilt = pe_replace_resources(stub, rsrc);

  const size_t raw = (rsrc.size() + layout.file_alignment - 1) / layout.file_alignment * layout.file_alignment;
  ASSERT_EQ(rebuilt.size(), section.raw_offset + raw);
  EXPECT_TRUE(std::equal(rsrc.begin(), rsrc.end(), rebuilt.begin() + section.raw_offset));
  const uint32_t opt = layout.optional_offset;
  const uint32_t dir = layout.directories_offset + 8 * PE_RESOURCE_DIRECTORY;
  const std::set<uint32_t> allowed = {section.header_offset + 8, section.header_offset + 16, dir + 4, opt + 8,
                                      opt + 56, layout.checksum_offset};
  for (uint32_t at = 0; at < section.raw_offset; ++at)
    if (stub[at] != rebuilt[at]) {
      EXPECT_EQ(allowed.count(at & ~3u), 1u) << "byte " << at << " changed";
    }
  const uint8_t* o = rebuilt.data() + opt;
  EXPECT_EQ(load_le32(rebuilt.data() + section.header_offset + 8), rsrc.size());
  EXPECT_EQ(load_le32(rebuilt.data() + section.header_offset + 16), raw);
  EXPECT_EQ(load_le32(rebuilt.data() + dir + 4), rsrc.size());
  EXPECT_EQ(load_le32(o + 8), load_le32(stub.data() + opt + 8) - section.raw_size + raw);
  EXPECT_EQ(load_le32(o + 56), (section.virtual_address + rsrc.size() + 0xFFF) / 0x1000 * 0x1000);
  EXPECT_EQ(load_le32(o + 64), reference_checksum(rebuilt, layout.checksum_offset));

  // objdump reads the same headers.
  write_bytes(folder.file("rebuilt.exe"), rebuilt);
  std::string headers;
  run_command("i686-w64-mingw32-objdump -h " + shell_quoted(folder.file("rebuilt.exe")) + " 2>/dev/null", &headers);
  if (!headers.empty()) {
    char size[16];
    std::snprintf(size, sizeof size, "%08zx", rsrc.size());
    EXPECT_NE(headers.find(std::string(".rsrc         ") + size), std::string::npos) << headers;
  }
}

TEST(PeResources, ThePe32PlusImageAndTheRefusedLayouts) {
  const std::vector<ResourceEntry> entries = {entry(10, ResourceName::of_id(1), 1033, {1, 2, 3})};
  const Bytes rsrc = resources_build(entries, test_pe_section_rva(1));
  const Bytes pe64 = make_pe(false, {{".text", Bytes(100, 0xC3)}, {".rsrc", rsrc}}, 1);
  const PeLayout layout = pe_layout_read(pe64.data(), pe64.size());
  EXPECT_FALSE(layout.is_pe32);
  EXPECT_TRUE(resources_parse(pe64.data(), pe64.size(), layout) == entries);
  std::vector<ResourceEntry> more = entries;
  more.push_back(entry(10, ResourceName::of_id(2), 1033, Bytes(20000, 7)));
  const Bytes grown = pe_replace_resources(pe64, resources_build(more, test_pe_section_rva(1)));
  EXPECT_TRUE(resources_parse(grown.data(), grown.size(), pe_layout_read(grown.data(), grown.size())) == more);

  Bytes signed_pe = pe64;
  store_le32(&signed_pe[layout.directories_offset + 8 * 4], static_cast<uint32_t>(signed_pe.size()));
  store_le32(&signed_pe[layout.directories_offset + 8 * 4 + 4], 8);
  signed_pe.resize(signed_pe.size() + 8);
  Bytes appended = pe64;
  appended.push_back(0);
  const struct {
    const char* what;
    Bytes image;
    const char* reason;
  } refused[] = {
      {"resources first", make_pe(true, {{".rsrc", resources_build(entries, test_pe_section_rva(0))}, {".reloc", Bytes(8)}}, 0),
       "not its last section"},
      {"no resources", make_pe(true, {{".text", Bytes(8)}}, -1), "no resource section"},
      {"signed", signed_pe, "signed"},
      {"bytes appended", appended, "1 bytes follow the resource section"},
      {"cut short", Bytes(pe64.begin(), pe64.end() - 1), "ends inside its resource section"},
      {"not a program", Bytes(300, 'M'), "not a Windows program"},
  };
  for (const auto& t : refused) {
    try {
      pe_replace_resources(t.image, rsrc);
      ADD_FAILURE() << t.what << ": accepted";
    } catch (const ResourceError& error) {
      EXPECT_NE(std::string(error.what()).find(t.reason), std::string::npos) << t.what << ": " << error.what();
    }
  }
}

// Damaged trees, each made from a good one by one change at a known place.
TEST(PeResources, DamagedTreesAreRefusedWithTheirReason) {
  const std::vector<ResourceEntry> entries = {entry(10, ResourceName::of_text(u"NAME"), 1033, {1, 2, 3, 4})};
  const uint32_t rva = test_pe_section_rva(0);
  const Bytes rsrc = resources_build(entries, rva);
  // Root (16 + 8), type table (16 + 8), language table (16 + 8), the string "NAME" (10, then
  // padding to 88), the data entry, the data.
  constexpr size_t ROOT_ENTRY = 16, TYPE_TABLE = 24, TYPE_ENTRY = 40, NAME_ENTRY = 64, DATA_ENTRY = 88;
  ASSERT_EQ(load_le32(&rsrc[TYPE_ENTRY + 4]), 0x80000000u | 48);
  ASSERT_EQ(load_le32(&rsrc[NAME_ENTRY + 4]), DATA_ENTRY);
  const struct {
    const char* what;
    size_t at;
    uint32_t value;
    const char* reason;
  } damage[] = {
      {"a count past the section", 14, 0xFFFF, "more than the section holds"},
      {"a loop back to the root", TYPE_ENTRY + 4, 0x80000000u, "reached twice"},
      {"a table outside", ROOT_ENTRY + 4, 0x80000000u | 0x7FFFFFF0u, "outside the section"},
      {"data where a table belongs", ROOT_ENTRY + 4, TYPE_TABLE, "names data where a subdirectory belongs"},
      {"a fourth level", NAME_ENTRY + 4, 0x80000000u | 48, "subdirectory where its languages' data belong"},
      {"a name outside", TYPE_ENTRY, 0x80000000u | 0x10000, "name at offset 0x10000 lies outside"},
      {"data outside the image", DATA_ENTRY, 0x00F00000, "lies outside the image's sections"},
      {"data running past its section", DATA_ENTRY + 4, 0x1000, "lies outside the image's sections"},
      {"an id past 16 bits", ROOT_ENTRY, 0x10000, "id past 65535"},
  };
  for (const auto& d : damage) {
    Bytes bad = rsrc;
    store_le32(&bad[d.at], d.value);
    const Bytes image = make_pe(true, {{".rsrc", bad}}, 0);
    try {
      resources_parse(image.data(), image.size(), pe_layout_read(image.data(), image.size()));
      ADD_FAILURE() << d.what << ": accepted";
    } catch (const ResourceError& error) {
      EXPECT_NE(std::string(error.what()).find(d.reason), std::string::npos) << d.what << ": " << error.what();
    }
  }
}

// Every byte of the launcher's headers and resource tables changed, one at a time, to values
// that break offsets: the reader either reads the tree or refuses it, never reaching past the
// image (AddressSanitizer watches).
TEST(PeResources, AnyOneByteChangeIsReadOrRefused) {
  NEED_LAUNCHER();
  const Bytes& stub = built_launcher();
  const PeLayout layout = pe_layout_read(stub.data(), stub.size());
  const PeSection& section = pe_rebuildable_resource_section(stub.data(), stub.size(), layout);
  std::vector<size_t> places;
  for (size_t at = 0; at < 0x400; ++at) places.push_back(at);
  for (size_t at = section.raw_offset; at < section.raw_offset + 0x200; ++at) places.push_back(at);
  size_t refused = 0;
  for (size_t at : places)
    for (uint8_t value : {uint8_t{0x00}, uint8_t{0x80}, uint8_t{0xFF}}) {
      Bytes bad = stub;
      if (bad[at] == value) continue;
      bad[at] = value;
      try {
        resources_parse(bad.data(), bad.size(), pe_layout_read(bad.data(), bad.size()));
      } catch (const ResourceError&) {
        ++refused;
      }
    }
  EXPECT_GT(refused, 100u);
}

TEST(PeChecksum, SmallFilesByHand) {
  const struct {
    Bytes file;
    uint64_t field;
    uint32_t sum;
  } cases[] = {
      {{}, 100, 0},
      {{0x01, 0x02, 0x03}, 100, 0x0201 + 0x0003 + 3},                      // an odd last byte is a word of its own
      {{0xFF, 0xFF, 0x01, 0x00}, 100, 0x0001 + 4},                         // 0xFFFF + 1 folds to 1
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00}, 100, 0x0002 + 6},      // 0x1FFFE folds to 0xFFFF, + 2 to 2
      {{0x10, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x20, 0x00}, 2, 0x0030 + 8},   // the field counts as zero
      {{0x10, 0xAA, 0xBB, 0xCC, 0xDD, 0x20}, 1, 0x0010 + 0x2000 + 6},      // at an odd offset too
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pe_checksum(c.file.data(), c.file.size(), c.field), c.sum);
    EXPECT_EQ(reference_checksum(c.file, static_cast<size_t>(c.field)), c.sum);
  }
}

TEST(PeChecksum, TheLinkersValueAndAnyChunking) {
  NEED_LAUNCHER();
  const Bytes& stub = built_launcher();
  const PeLayout layout = pe_layout_read(stub.data(), stub.size());
  const uint32_t stored = load_le32(stub.data() + layout.checksum_offset);
  ASSERT_NE(stored, 0u) << "the linker wrote no checksum";
  EXPECT_EQ(pe_checksum(stub.data(), stub.size(), layout.checksum_offset), stored);

  // The stub, then a payload of odd length, in chunks of random sizes (odd ones included).
  Bytes file = stub;
  std::mt19937 random(7);
  for (int i = 0; i < 300001; ++i) file.push_back(static_cast<uint8_t>(random()));
  const uint32_t expected = reference_checksum(file, layout.checksum_offset);
  for (int round = 0; round < 20; ++round) {
    PeChecksum checksum(layout.checksum_offset);
    for (size_t at = 0; at < file.size();) {
      const size_t n = std::min<size_t>(file.size() - at, random() % (round < 10 ? 7 : 70000));
      checksum.update(file.data() + at, n);
      at += n;
    }
    EXPECT_EQ(checksum.value(), expected) << "round " << round;
  }
}

}  // namespace
