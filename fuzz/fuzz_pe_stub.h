// What the identity targets share: a launcher stub made in code, so that they need no
// cross-built launcher, and the check that a launcher the engine rewrote reads back.
#pragma once

#include <cstdint>
#include <vector>

#include "launcher_identity.h"
#include "pe_resources.h"

// A PE32 (or PE32+) program of a code section and a resource section holding resources, the
// resources last in memory and in the file, as the launcher is linked; its CheckSum is set.
std::vector<uint8_t> fuzz_pe_image(const std::vector<ResourceEntry>& resources, bool pe32);

// The launcher's resources as launcher.rc gives them: the manifest, icon group IDI_LAUNCHER of
// two small DIB icons, the version information, the progress window's template (a classic one
// with a font and three items) and the string table of the failure caption and the address.
std::vector<ResourceEntry> fuzz_launcher_resources();

// fuzz_pe_image of fuzz_launcher_resources, made once.
const std::vector<uint8_t>& fuzz_launcher_stub();

// A launcher apply_identity returned, read back as `sfx list` reads it: its headers and its
// resource tree parse and read_identity throws nothing. Stops the run when not.
LauncherIdentity fuzz_read_back(const std::vector<uint8_t>& launcher);
