// The names the launcher gives its temporary folders and files, and their recognition: delete
// mode removes only files of these forms, and their folders only when of these forms too.
//
//   Windows: <temp>\SFX<16 hex digits>\EXE<hex digits>.tmp (.msi for an installer package, .msp
//            for a patch)
//   POSIX:   <temp>/SFX<6 letters or digits>/EXE<6 letters or digits>   (mkdtemp, mkstemp)
#pragma once

#include <cstdint>

// The part of path after its last '/' or '\'.
const char* last_path_component(const char* path);

// "EXE", one or more hex digits, ".tmp", ".msi" or ".msp", in any case.
bool is_windows_temp_file_name(const char* name);
// "SFX" and WINDOWS_TEMP_FOLDER_DIGITS hex digits, in any case.
bool is_windows_temp_folder_name(const char* name);
constexpr uint32_t WINDOWS_TEMP_FOLDER_DIGITS = 16;

// prefix ("EXE" or "SFX") and six ASCII letters or digits.
bool is_posix_temp_name(const char* name, const char* prefix);

// Whether path is exactly temp_dir (which ends with a separator), a folder whose name folder_ok
// accepts, one separator, and a file whose name file_ok accepts. Windows compares the directory
// without regard to the case of ASCII letters (fold_case), as its file systems do.
bool is_temp_file_in(const char* path, const char* temp_dir, bool (*folder_ok)(const char*),
                     bool (*file_ok)(const char*), bool fold_case);

// The POSIX forms as tests for is_temp_file_in.
bool is_posix_temp_folder_name(const char* name);
bool is_posix_temp_file_name(const char* name);
