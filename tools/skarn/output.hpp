// Standard output, buffered by the tool itself so that every write error is
// seen where it happens.
#pragma once

#include <skarn_edit.h>

#include <string_view>

namespace skarn_cli {

// Appends to the output; a closed pipe throws output_closed, any other error
// is a failure with the system's reason.
void write_output(std::string_view bytes);
void flush_output();

// Streams the session's content to standard output, checking for signals
// and updating the progress line between pieces.
void write_content_to_output(skarn_session_struct *session);

}  // namespace skarn_cli
