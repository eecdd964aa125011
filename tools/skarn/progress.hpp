// The progress line of long commands: one line on stderr that is redrawn in
// place (percentage, bytes, rate, time left) and cleared at the end.
//
// It appears when stderr is a terminal and the work has run for about a
// second, at once with --progress, and never with --quiet. Any code that
// knows how far it got may call progress_update; a callback of the library
// can forward to it and cancel when it returns false.
#pragma once

#include <cstdint>
#include <string_view>

namespace skarn_cli {

enum class progress_mode { automatic, forced, off };

void progress_configure(progress_mode mode);

// Starts a new piece of work named `label` ("searching", "saving"); the
// clock that decides when the line appears and that gives the rate starts here.
void progress_begin(std::string_view label);

// Reports `done` of `total` bytes (total < 0: unknown). Returns false when a
// stop signal arrived, so that the caller can stop at once.
bool progress_update(int64_t done, int64_t total);

// Clears the line, if one was drawn.
void progress_finish();

}  // namespace skarn_cli
