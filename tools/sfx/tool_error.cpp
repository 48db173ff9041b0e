#include "tool_error.h"

#include <cstdio>

void report_tool_error(const ToolError& error) {
  std::fflush(stdout);
  if (error.file().empty())
    std::fprintf(stderr, "sfx: %s\n", error.what());
  else
    std::fprintf(stderr, "sfx: %s: %s\n", error.file().c_str(), error.what());
}
