// The launcher as a user meets it, under wine: packed with a program of our own, started from
// folders of every kind, failing, deleting, holding its file against others, and its window
// answering throughout a long unpack.
#include <windows.h>

#include <aclapi.h>
#include <tlhelp32.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "crc32.h"
#include "integrity.h"
#include "pe_image.h"
#include "temp_names.h"
#include "win32_layer.h"
#include "wine_harness.h"
#include "wine_test_files.h"

namespace {

const std::string LAUNCHER = windows_path(SFX_LAUNCHER_EXE);
const std::string CHILD = windows_path(SFX_CHILD_EXE);

// The first line, the cause's (the payload's, for every failure here) and the advice's start.
const std::string MESSAGE_START = std::string(FAILURE_MESSAGE_FIRST_LINE) + "\n" + CAUSE_PAYLOAD + "\n\nVisit  ";

// Names each case of a table after its name field.
template <typename Case>
std::string case_name(const testing::TestParamInfo<Case>& param_info) {
  return param_info.param.name;
}


std::string text_file(const std::string& path) {
  const Bytes bytes = file_bytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// The integrity record of program, as the packer writes it before the marker.
Bytes record_of(const Bytes& program) {
  Bytes record(INTEGRITY_RECORD_BYTES);
  integrity_record_write(IntegrityRecord{program.size(), crc32_update(0, program.data(), program.size())},
                         record.data());
  return record;
}

// The launcher, then the record and the payload of program (without the record if bare).
Bytes packed_launcher(const Bytes& program, bool bare = false) {
  Bytes launcher = file_bytes(LAUNCHER);
  if (!bare) {
    const Bytes record = record_of(program);
    launcher.insert(launcher.end(), record.begin(), record.end());
  }
  const Bytes payload = make_payload(program);
  launcher.insert(launcher.end(), payload.begin(), payload.end());
  return launcher;
}

// Where a run left its program: the one folder in temp, of the launcher's form, holding one
// file of the launcher's form. Empty when that is not what temp holds.
std::string unpacked_file(const std::string& temp) {
  const std::vector<std::string> folders = list_files(temp, "*", true);
  if (folders.size() != 1 || !list_files(temp, "*").empty() ||
      !is_windows_temp_folder_name(folders[0].c_str())) {
    return "";
  }
  const std::string folder = temp + "\\" + folders[0];
  const std::vector<std::string> files = list_files(folder, "*");
  if (files.size() != 1 || !list_files(folder, "*", true).empty() ||
      !is_windows_temp_file_name(files[0].c_str())) {
    return "";
  }
  return folder + "\\" + files[0];
}

// ---- unpack and start ------------------------------------------------------------------------

struct StartCase {
  const char* name;
  const char* folder;  // where the packed launcher lies ("" for a path of MAX_PATH - 1 characters)
  const char* file;    // and its name
  bool document;       // started with a document's path, as when one is dropped on its icon
  const char* temp;    // the temporary directory's name
  const char* decoy;   // a folder whose name a code page would make of folder, holding a bare
                       // launcher: reading it instead would end in the message
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class LauncherStarts : public testing::TestWithParam<StartCase> {};

TEST_P(LauncherStarts, UnpacksIntoAFolderOfItsOwnAndStartsWithItsOwnPath) {
  const StartCase& c = GetParam();
  ScratchFolder scratch(c.name);
  std::string folder = c.folder;
  if (folder.empty()) {
    // The launcher's path is MAX_PATH - 1 characters long, the longest that every call takes.
    const size_t base = scratch.path().size() + 1 + std::strlen("\\setup.exe");
    folder = std::string(MAX_PATH - 1 - base, 'p');
  }
  const std::string launcher = scratch.make(folder) + "\\" + c.file;
  if (c.folder[0] == '\0') {
    ASSERT_EQ(launcher.size(), static_cast<size_t>(MAX_PATH - 1));
  }
  const std::string temp = scratch.make(c.temp);
  const std::string out = scratch.make("out");
  if (c.decoy != nullptr) {
    ASSERT_TRUE(write_file(scratch.make(c.decoy) + "\\" + c.file, file_bytes(LAUNCHER)));
  }
  const std::string document = scratch.make("My Documents") + "\\report.docx";
  ASSERT_TRUE(write_file(document, Bytes{'d', 'o', 'c'}));
  const Bytes child = file_bytes(CHILD);
  ASSERT_TRUE(write_file(launcher, packed_launcher(child)));

  const LauncherRun run = run_launcher(launcher, c.document ? "\"" + document + "\"" : "", temp, out);
  ASSERT_TRUE(run.started);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_status, 1u);
  EXPECT_FALSE(run.message_shown) << run.message_text;
  ASSERT_TRUE(wait_for_child(out, 30000)) << "the unpacked program did not run";

  // The program lies alone in a new folder of its own, named as the launcher names them.
  const std::string program = unpacked_file(temp);
  ASSERT_NE(program, "") << "temp does not hold one folder with one file of the launcher's";
  // The temporary path, a blank, the launcher's own path exactly (quoted when it has blanks).
  EXPECT_EQ(text_file(out + "\\command-line.txt"),
            quoted_if_blank(program) + " " + quoted_if_blank(launcher));
  EXPECT_EQ(text_file(out + "\\own-path.txt"), program);
  EXPECT_TRUE(file_bytes(out + "\\own-file.bin") == child) << "the started program differs";
  EXPECT_TRUE(file_exists(document)) << "a dropped document was deleted";
}

INSTANTIATE_TEST_SUITE_P(
    Folders, LauncherStarts,
    testing::Values(
        StartCase{"plain", "setup", "setup.exe", false, "temp", nullptr},
        StartCase{"blanks", "Program Setup Files", "corvalin setup.exe", false, "temp", nullptr},
        // "Загрузки ü", and a temporary directory "Временные файлы".
        StartCase{"cyrillic", "\xD0\x97\xD0\xB0\xD0\xB3\xD1\x80\xD1\x83\xD0\xB7\xD0\xBA\xD0\xB8 \xC3\xBC",
                  "setup.exe", false,
                  "\xD0\x92\xD1\x80\xD0\xB5\xD0\xBC\xD0\xB5\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5 "
                  "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB\xD1\x8B",
                  nullptr},
        // "bfＤ" (a full-width D), beside "bfD", which a best-fit mapping would make of it.
        StartCase{"full_width", "bf\xEF\xBC\xA4", "setup.exe", false, "temp", "bfD"},
        StartCase{"longest_path", "", "setup.exe", false, "temp", nullptr},
        StartCase{"dropped_document", "Downloads", "setup.exe", true, "temp", nullptr}),
    case_name<StartCase>);

// The folder's access list as text (SDDL), or "" when it cannot be read.
std::string access_list(const std::string& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  if (GetNamedSecurityInfoW(wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return "";
  }
  wchar_t* sddl = nullptr;
  std::string text;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                           DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
    text = utf8(sddl);
    LocalFree(sddl);
  }
  LocalFree(descriptor);
  return text;
}

// The user this process runs as, as SDDL names a SID: the layer's own lookup.
std::string user_sid() {
  wchar_t sid[192];
  return win32_user_sid(sid, sizeof sid / sizeof sid[0]) ? utf8(sid) : std::string();
}

TEST(LauncherFolder, GivesAccessToTheUserAdministratorsAndSystemAlone) {
  ScratchFolder scratch("acl");
  const std::string launcher = scratch.make("setup") + "\\setup.exe";
  const std::string temp = scratch.make("temp");
  const std::string out = scratch.make("out");
  ASSERT_TRUE(write_file(launcher, packed_launcher(file_bytes(CHILD))));
  ASSERT_EQ(run_launcher(launcher, "", temp, out).exit_status, 1u);
  ASSERT_TRUE(wait_for_child(out, 30000));
  const std::string program = unpacked_file(temp);
  ASSERT_NE(program, "");

  // Every entry that grants access names the system, the administrators or the user; the user's
  // grants everything. (Where the file system keeps no access lists, as under wine, the system
  // reports one made from the file's permissions, which the launcher's list set.)
  const std::string user = user_sid();
  ASSERT_NE(user, "");
  for (const std::string& path : {program.substr(0, program.rfind('\\')), program}) {
    const std::string list = access_list(path);
    ASSERT_EQ(list.rfind("D:", 0), 0u) << path << ": " << list;
    size_t entries = 0;
    for (size_t at = list.find('('); at != std::string::npos; at = list.find('(', at + 1)) {
      const std::string entry = list.substr(at + 1, list.find(')', at) - at - 1);
      const std::string sid = entry.substr(entry.rfind(';') + 1);
      if (entry.rfind("A;", 0) != 0) continue;
      ++entries;
      EXPECT_TRUE(sid == "SY" || sid == "BA" || sid == user) << path << ": " << list;
      if (sid == user) {
        EXPECT_NE(entry.find(";FA;"), std::string::npos) << list;
      }
    }
    EXPECT_GE(entries, 1u) << list;
  }
}

// ---- a long unpack: a window that answers, and a file nobody else can touch -------------------

// Whether a process runs from one of the launcher's temporary files (EXE….tmp).
bool unpacked_program_runs() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry)) {
    found = is_windows_temp_file_name(utf8(entry.szExeFile).c_str());
  }
  CloseHandle(snapshot);
  return found;
}

// Another program of the same user, trying to write, delete or rename the launcher's temporary
// file from its creation until the program runs from it: then the launcher lets go of it, and
// what the program does with its own file is its own affair.
struct Intruder {
  std::string temp;
  bool program_runs = false;
  int attempts = 0;
  int successes = 0;
};

void intrude(void* context) {
  auto* intruder = static_cast<Intruder*>(context);
  intruder->program_runs = intruder->program_runs || unpacked_program_runs();
  if (intruder->program_runs) return;
  // An attempt that got through counts only when the program was still not running afterwards:
  // the launcher lets go of its file once the program runs, which may happen in the moment
  // between the look above and the attempt.
  const auto got_through = [intruder] {
    if (unpacked_program_runs()) {
      intruder->program_runs = true;
    } else {
      ++intruder->successes;
    }
  };
  for (const std::string& folder : list_files(intruder->temp, "SFX*", true)) {
    for (const std::string& name : list_files(intruder->temp + "\\" + folder, "EXE*.tmp")) {
      const std::wstring path = wide(intruder->temp + "\\" + folder + "\\" + name);
      ++intruder->attempts;
      HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
      if (file != INVALID_HANDLE_VALUE) {
        got_through();
        DWORD put = 0;
        WriteFile(file, "MZ not the packed program", 25, &put, nullptr);
        CloseHandle(file);
      }
      if (MoveFileW(path.c_str(), (path + L".moved").c_str())) got_through();
      if (DeleteFileW(path.c_str())) got_through();
    }
  }
}

TEST(LauncherLongUnpack, AnswersItsWindowAndHoldsItsFileAgainstOthers) {
  // About 2.6 GB of zeros after the program: seconds of unpacking from a file of 280 MB. A window
  // that handled no messages while copying would leave the watcher's 1.5 s waits to run out.
  ScratchFolder scratch("long");
  const std::string launcher = scratch.make("setup") + "\\setup.exe";
  const std::string temp = scratch.make("temp");
  const std::string out = scratch.make("out");
  Bytes head = file_bytes(LAUNCHER);
  const Bytes payload = make_payload(file_bytes(CHILD), false);
  head.insert(head.end(), payload.begin(), payload.end());
  ASSERT_TRUE(write_long_payload(launcher, head, 40000));

  Intruder intruder;
  intruder.temp = temp;
  SetEnvironmentVariableW(L"SFX_CHILD_NO_COPY", L"1");
  const DWORD started = GetTickCount();
  const LauncherRun run = run_launcher(launcher, "", temp, out, true, intrude, &intruder);
  const DWORD took = GetTickCount() - started;
  SetEnvironmentVariableW(L"SFX_CHILD_NO_COPY", nullptr);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_status, 1u);
  EXPECT_FALSE(run.message_shown);
  EXPECT_TRUE(wait_for_child(out, 30000));
  std::printf("long unpack: %lu ms, %d of %d pings answered, %d attempts on the file\n",
              static_cast<unsigned long>(took), run.answers, run.pings, intruder.attempts);

  EXPECT_EQ(run.ping_timeouts, 0) << run.answers << " of " << run.pings << " pings answered";
  // Enough pings that a window left alone for the whole copy could not have passed.
  EXPECT_GE(run.answers, 8) << "the unpack took " << took << " ms";
  EXPECT_GE(intruder.attempts, 50);
  EXPECT_EQ(intruder.successes, 0) << "another program wrote, moved or deleted the launcher's file";
}

// ---- failures --------------------------------------------------------------------------------

struct FailureCase {
  const char* name;
  Bytes (*make)();  // the launcher file to run
};

Bytes launcher_without_payload() { return file_bytes(LAUNCHER); }

// The packed child's offsets: the payload starts after the stub, the record and the marker.
size_t payload_start() { return file_bytes(LAUNCHER).size() + INTEGRITY_RECORD_BYTES + 13; }

size_t first_block_length(const Bytes& packed) {
  return (size_t{packed[payload_start()]} << 8) | packed[payload_start() + 1];
}

Bytes launcher_with_cut_block() {
  Bytes packed = packed_launcher(file_bytes(CHILD));
  packed.resize(payload_start() + 2 + first_block_length(packed) / 2);
  return packed;
}

Bytes launcher_cut_at_a_block_boundary() {
  Bytes packed = packed_launcher(file_bytes(CHILD));
  packed.resize(payload_start() + 2 + first_block_length(packed));
  return packed;
}

Bytes launcher_cut_before_its_end_mark() {
  Bytes packed = packed_launcher(file_bytes(CHILD));
  packed.resize(packed.size() - 6);
  return packed;
}

// A stored block's byte changed: it decodes, to other bytes.
Bytes launcher_with_changed_stored_byte() {
  Bytes child = file_bytes(CHILD);
  child.resize(PACK_CHUNK_BYTES);  // one block
  Bytes packed = file_bytes(LAUNCHER);
  const Bytes record = record_of(child);
  packed.insert(packed.end(), record.begin(), record.end());
  const char* marker = "WOMBIXINSTALL";
  packed.insert(packed.end(), marker, marker + 13);
  const uint32_t length = PACK_CHUNK_BYTES + 4;
  packed.push_back(static_cast<uint8_t>(length >> 8));
  packed.push_back(static_cast<uint8_t>(length));
  packed.insert(packed.end(), {1, 0, 0, 0});
  packed.insert(packed.end(), child.begin(), child.end());
  const char* end_mark = "KELVRA";
  packed.insert(packed.end(), end_mark, end_mark + 6);
  packed[packed.size() - 6 - 1000] ^= 0x01;
  return packed;
}

// A bare stub, signed (a certificate table named by its security directory), and a payload
// appended after the signature, where a signature does not reach.
Bytes payload_after_a_signature() {
  Bytes stub = file_bytes(LAUNCHER);
  const uint32_t pe = uint32_t{stub[0x3C]} | uint32_t{stub[0x3D]} << 8;
  const PeImage image = pe_image_read(stub.data(), static_cast<uint32_t>(stub.size()));
  const size_t security = pe + 24 + (image.is_pe32 ? 96 : 112) + 4 * 8;
  const auto table = static_cast<uint32_t>(stub.size());
  const uint32_t table_bytes = 24;
  for (int i = 0; i < 4; ++i) {
    stub[security + static_cast<size_t>(i)] = static_cast<uint8_t>(table >> (8 * i));
    stub[security + 4 + static_cast<size_t>(i)] = static_cast<uint8_t>(table_bytes >> (8 * i));
  }
  // WIN_CERTIFICATE: its length, revision 2.0, type PKCS#7, and (here) nothing signed.
  const Bytes certificate = {24, 0, 0, 0, 0x00, 0x02, 0x02, 0x00};
  stub.insert(stub.end(), certificate.begin(), certificate.end());
  stub.resize(stub.size() + 16, 0);
  const Bytes child = file_bytes(CHILD);
  const Bytes record = record_of(child);
  stub.insert(stub.end(), record.begin(), record.end());
  const Bytes payload = make_payload(child);
  stub.insert(stub.end(), payload.begin(), payload.end());
  return stub;
}

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class LauncherFails : public testing::TestWithParam<FailureCase> {};

TEST_P(LauncherFails, ShowsTheMessageStartsNothingAndLeavesNothing) {
  const FailureCase& c = GetParam();
  ScratchFolder scratch(c.name);
  const std::string launcher = scratch.make("Setup Folder") + "\\setup.exe";
  const std::string temp = scratch.make("temp");
  const std::string out = scratch.make("out");
  const Bytes made = c.make();
  ASSERT_TRUE(write_file(launcher, made)) << GetLastError() << " " << launcher << " " << made.size();

  const LauncherRun run = run_launcher(launcher, "", temp, out);
  ASSERT_TRUE(run.started);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_status, 0u);
  ASSERT_TRUE(run.message_shown);
  EXPECT_EQ(run.message_text.compare(0, MESSAGE_START.size(), MESSAGE_START), 0)
      << run.message_text;
  EXPECT_FALSE(run.progress_visible_with_message) << "the progress window covers the message";

  // Nothing was started and no temporary file or folder is left.
  EXPECT_FALSE(wait_for_child(out, 500));
  EXPECT_EQ(list_files(out, "*").size(), 0u);
  EXPECT_EQ(list_files(temp, "*").size(), 0u);
  EXPECT_EQ(list_files(temp, "*", true).size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, LauncherFails,
    testing::Values(FailureCase{"no_payload", launcher_without_payload},
                    FailureCase{"cut_inside_a_block", launcher_with_cut_block},
                    FailureCase{"cut_at_a_block_boundary", launcher_cut_at_a_block_boundary},
                    FailureCase{"cut_before_its_end_mark", launcher_cut_before_its_end_mark},
                    FailureCase{"changed_stored_byte", launcher_with_changed_stored_byte},
                    FailureCase{"payload_after_a_signature", payload_after_a_signature}),
    case_name<FailureCase>);

TEST(LauncherBareLayout, UnpacksAPayloadWithoutRecordAsBefore) {
  ScratchFolder scratch("bare");
  const std::string launcher = scratch.make("setup") + "\\setup.exe";
  const std::string temp = scratch.make("temp");
  const std::string out = scratch.make("out");
  const Bytes child = file_bytes(CHILD);
  ASSERT_TRUE(write_file(launcher, packed_launcher(child, true)));
  EXPECT_EQ(run_launcher(launcher, "", temp, out).exit_status, 1u);
  ASSERT_TRUE(wait_for_child(out, 30000));
  EXPECT_TRUE(file_bytes(out + "\\own-file.bin") == child);
}

// ---- delete mode -----------------------------------------------------------------------------

// Delete mode removes a file of the launcher's own form in one of its folders right inside the
// temporary directory, and the folder; the same names anywhere else are a user's and stay.
TEST(LauncherDeletes, RemovesItsOwnTemporaryFileAndFolderOnly) {
  ScratchFolder scratch("delete");
  const std::string temp = scratch.make("Temp With Blanks");
  const std::string out = scratch.make("out");
  // Delete mode never looks for a payload, so a bare launcher will do.
  const std::string launcher = scratch.path() + "\\setup.exe";
  ASSERT_TRUE(write_file(launcher, file_bytes(LAUNCHER)));
  std::string victims[2];
  for (int i = 0; i < 2; ++i) {
    const std::string folder = (i == 0 ? temp : scratch.make("Documents")) + "\\SFX0123456789ABCDEF";
    ASSERT_TRUE(CreateDirectoryW(wide(folder).c_str(), nullptr));
    victims[i] = folder + "\\EXE4F2A.tmp";
    ASSERT_TRUE(write_file(victims[i], Bytes{'x'}));
  }

  const LauncherRun run = run_launcher(launcher, "\"" + victims[0] + "\"", temp, out);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_status, 1u);
  EXPECT_FALSE(run.message_shown);
  EXPECT_FALSE(file_exists(victims[0]));
  EXPECT_TRUE(list_files(temp, "*", true).empty()) << "its folder goes too, and nothing was unpacked";

  const LauncherRun elsewhere = run_launcher(launcher, "\"" + victims[1] + "\"", temp, out);
  ASSERT_TRUE(elsewhere.finished);
  EXPECT_EQ(elsewhere.exit_status, 0u) << "not the launcher's own: it unpacks, and finds no payload";
  EXPECT_TRUE(file_exists(victims[1]));
}

// ---- the start through the shell -------------------------------------------------------------

TEST(ShellStart, StartsATmpFileAsAProgramWithItsArgument) {
  // What the launcher does when a program asks for elevation: the shell starts it, as the
  // program it is, whatever its name ends in.
  ScratchFolder scratch("shell");
  const std::string program = scratch.make("SFX00000000000000AB") + "\\EXE12AB.tmp";
  const std::string out = scratch.make("out");
  ASSERT_TRUE(write_file(program, file_bytes(CHILD)));
  SetEnvironmentVariableW(L"SFX_CHILD_OUT", wide(out).c_str());
  SetEnvironmentVariableW(L"SFX_CHILD_NO_COPY", L"1");
  const std::string argument = "\"C:\\Setup Files\\setup.exe\"";
  const bool started = win32_start_through_shell(wide(program).c_str(), wide(argument).c_str());
  SetEnvironmentVariableW(L"SFX_CHILD_NO_COPY", nullptr);
  ASSERT_TRUE(started);
  ASSERT_TRUE(wait_for_child(out, 30000));
  const std::string line = text_file(out + "\\command-line.txt");
  EXPECT_NE(line.find("EXE12AB.tmp"), std::string::npos) << line;
  EXPECT_EQ(line.substr(line.size() - argument.size()), argument) << line;
}

// ---- the library search ----------------------------------------------------------------------

DWORD run_probe(const std::string& probe, const char* arguments) { return run_program(probe, wide(arguments)); }

TEST(LibrarySearch, PassesOverALibraryPlantedBesideTheProgram) {
  // As a file downloaded beside the launcher would lie: loaded by name without the restriction,
  // passed over with it.
  ScratchFolder scratch("dll");
  const std::string probe = scratch.make("Downloads") + "\\probe.exe";
  ASSERT_TRUE(write_file(probe, file_bytes(windows_path(SFX_DLL_SEARCH_PROBE_EXE))));
  ASSERT_TRUE(write_file(scratch.path() + "\\Downloads\\sfx_planted.dll", file_bytes(windows_path(SFX_PLANTED_DLL))));
  EXPECT_EQ(run_probe(probe, "--unrestricted"), 1u) << "the planted library is not found at all";
  EXPECT_EQ(run_probe(probe, ""), 0u) << "the planted library was loaded";
}

}  // namespace
