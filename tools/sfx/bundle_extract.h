// sfx extract of a bundle into a folder, whole or not at all (README, "Bundles").
#pragma once

#include <string>

class InputFile;
class PayloadScan;
struct ExtractOptions;

// Whether a bundle extracted to output is written as its tar stream: "-" (stdout), or an
// existing device or named pipe. Any other output names the folder to make.
bool bundle_output_is_stream(const std::string& output);

// Writes the bundle whose payload the scan has found (nothing of its data read yet) as the folder
// options.output: a new folder, or one that is empty and is then replaced. Everything is made in
// a new folder beside it, each entry created new, and that folder takes the output's name once
// the reader, the record and the program's entry have all passed; any fault, a failed write or
// an interrupt removes it with all it holds, leaving the output as it was. Throws ToolError.
int extract_bundle_folder(InputFile& input, PayloadScan& scan, const ExtractOptions& options);
