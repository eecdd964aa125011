// The library's log lines, kept while a command runs: a failure names the
// system's reason from them, a success passes them on.
#pragma once

#include <cstdio>
#include <string>

namespace skarn_cli {

// Starts keeping the library's log lines. Called first, before any call of
// the library.
void capture_library_log();

// The process's standard error stream, for the tool's own messages and the
// progress line (the C stream `stderr` collects the library's lines).
std::FILE *message_stream();

// Everything the library logged (to std::clog or stderr) while the command ran.
std::string library_log();

// The system's reason for the last failure the library logged ("No space
// left on device"), or empty when its log names none.
std::string library_system_reason();

}  // namespace skarn_cli
