// The details each command's help ends with: the text of help/<command>.txt, made into a source by
// the build (embed-help.cmake). In those files a blank line parts paragraphs, and the lines of a
// paragraph are joined with blanks, so the prose is wrapped for people who read the source, and
// the terminal wraps it for those who read the help.
#pragma once

// "" for a name that has no such text.
const char* command_help(const char* command);
