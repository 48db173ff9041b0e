// UTF-8 and UTF-16, for the texts the tool writes into a launcher's resources and reads back.
#pragma once

#include <string>

// Converts strict UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF, no cut
// sequence) to UTF-16. On invalid input returns false and sets reason to one line naming the
// byte offset and the fault; out is then unspecified.
bool utf8_to_utf16(const std::string& text, std::u16string* out, std::string* reason);

// Converts UTF-16 to UTF-8. Resources come from other programs, so an unpaired surrogate is
// not refused: it becomes U+FFFD.
std::string utf16_to_utf8(const std::u16string& text);

// A UTF-16 text of ASCII characters (for keys and defaults written in the code).
std::u16string ascii_utf16(const char* text);
