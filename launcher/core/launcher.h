// The launcher's entry and its two run modes.
#pragma once

#include <cstdint>

// The command tail of a raw command line: the line less the program's name and the characters
// with codes 1 to 32 after it. A name that begins with a double quote runs to the next double
// quote (or the end of the line), that quote included; otherwise it runs up to the first
// character whose code (as unsigned) is 32 or less. Returns a pointer into command_line.
const char* command_tail(const char* command_line);

// Prepares what the run needs (crc32_prepare), chooses the run mode from the tail and runs it; the result is the process's exit status:
// 1 after delete mode, otherwise the result of run_unpack. Delete mode is chosen only for a tail
// of one token that names a file of the form the launcher gives its temporary files; any other
// tail (none, a dropped document, "/S", two tokens) unpacks.
int launcher_main(const char* tail);

// The tail's first token, without enclosing double quotes, into out; false when there is none or
// it does not fit.
bool first_token(const char* tail, char* out, uint32_t capacity);

// The number of tokens in the tail, counted up to 2 (2 means "two or more"). Tokens are parted
// by white space (blank, tab, newline, vertical tab, form feed, carriage return), except between
// a double quote and the next one, so a quoted path holding blanks is one token.
int count_tail_tokens(const char* tail);

// The file name a one-token tail gives delete mode: the token without its surrounding white
// space, and without its enclosing double quotes when it begins and ends with one. False when
// the name does not fit name_capacity characters, the terminating zero included.
bool delete_file_name(const char* tail, char* name, uint32_t name_capacity);

// Whether the tail asks for delete mode: one token, naming (quotes removed) a file of the form the
// launcher gives its temporary files, in one of its folders directly in the temporary directory.
bool is_delete_request(const char* tail);

// Delete mode: removes the file the tail names, and then its folder when that is one of the
// launcher's and is empty, trying again for about ten seconds while the file cannot be removed.
// Silent: the outcome is not reported.
void delete_with_retry(const char* tail);

// How delete mode paces its attempts: at most DELETE_RETRIES retries, DELETE_RETRY_MS apart.
constexpr uint32_t DELETE_RETRIES = 100;
constexpr uint32_t DELETE_RETRY_MS = 100;

// Unpack mode: unpacks the payload of the launcher's own file into a new temporary file in a
// folder of its own, checks what it wrote (against the integrity record and its end mark, and as
// read back through a handle that no other process can write through), and starts it.
//
// By default (the start contract) the program gets the launcher's own path as its one argument,
// and the run returns 1 once it has started; 0 on failure, after the failure message, with no
// temporary file or folder left behind.
//
// A payload whose record asks for it (the wait contract: INTEGRITY_FLAG_WAIT, or an installer
// package, INTEGRITY_FLAG_MSI) starts the program with the tail passed on (platform_run_and_wait),
// waits for it, removes the file and its folder, and returns the program's exit status; its own
// failures return the LAUNCHER_EXIT_ codes below. In a session nobody can see, and in a waiting
// run asked to be silent (silent_switch), neither the window nor the message is shown.
int run_unpack(const char* tail);

// What a waiting run returns when it fails itself; no common installer or Windows Installer code
// is among them (0, 1 to 8, 1602, 1603, 1618, 1641, 3010), and they fit a POSIX status.
constexpr int LAUNCHER_EXIT_BAD_PAYLOAD = 110;   // missing, damaged, cut or not what its record says
constexpr int LAUNCHER_EXIT_FILE_FAILED = 111;   // the temporary file could not be made, written or checked
constexpr int LAUNCHER_EXIT_START_FAILED = 112;  // the program could not be started
constexpr int LAUNCHER_EXIT_INTERRUPTED = 113;   // the window was closed or the session ended
constexpr int LAUNCHER_EXIT_USAGE = 114;         // a switch of the launcher's own used wrongly

// msiexec's action at the start of the tail: /i, /package, /a, /x, /uninstall, /j with its
// options, /f with its options, in any case, with '-' for '/' too. Its length (0: none), with
// *action at it and *rest after it and its white space; with none, *rest is the tail.
uint32_t msi_action(const char* tail, const char** action, const char** rest);

// The launcher's own switches, recognised only as the first word of the tail, in any case and
// with '-' for '/': /sfx-verify, /sfx-extract DIR, /sfx-info, /sfx-help. Whatever else the tail
// holds goes on to the run as before.
enum OwnSwitch : int { SWITCH_NONE = 0, SWITCH_VERIFY, SWITCH_EXTRACT, SWITCH_INFO, SWITCH_HELP, SWITCH_UNKNOWN };
// The switch the tail begins with (SWITCH_UNKNOWN: the prefix /sfx- with a word not among them),
// *rest pointing after it and its white space.
OwnSwitch own_switch(const char* tail, const char** rest);
// Runs a switch: checks, describes or extracts the payload, or tells the switches, printing to the
// console the launcher was started from (or in a message). The result is the exit status: 0, or
// one of the LAUNCHER_EXIT_ codes.
int run_own_switch(OwnSwitch which, const char* rest);

// Whether the tail holds a switch that asks an installer to run silently: /S, /SILENT,
// /VERYSILENT (NSIS, Inno Setup), /Q, /QN, /QUIET, /PASSIVE (Windows Installer), in any case,
// with '-' for '/' too.
bool silent_switch(const char* tail);
