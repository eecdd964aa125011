// The library's log lines, kept while a command runs so that a success can
// pass them on, and the system's reason for the library's last failure.
#pragma once

#include <cstddef>
#include <string>

namespace skarn_cli {

// Starts keeping the library's log lines instead of letting it write them
// to standard error. Called first, before any call of the library.
void capture_library_log();

// Every line the library logged while the command ran, each ended.
std::string library_log();

// Drops the lines kept after the first `size` characters of library_log(),
// the lines of a call whose outcome the command reports in its own words.
void forget_library_log_since(size_t size);

// Forgets the library's last failure; called before the library call whose
// failure library_system_reason explains.
void forget_library_failure();

// The library's own words for its last failure since forget_library_failure
// (the first line the failed call logged), or empty.
std::string library_failure_cause();

// The system's reason for the library's last failure ("No space left on
// device"), or empty when it reported none since forget_library_failure.
std::string library_system_reason();

}  // namespace skarn_cli
