// Terminal output. This module owns standard output: every terminal text and every log line
// goes through write_stdout, which writes the whole text with one write while holding the
// process's standard-output lock, so lines of different threads never mix. Nothing else
// writes to standard output. Standard error is written unbuffered with write_stderr.
#pragma once

#include <string_view>

namespace vc::cli {

// Writes all of `text` (resuming after EINTR and short writes). Returns 0, or the errno of
// the failed write.
int write_stdout(std::string_view text);
int write_stderr(std::string_view text);

// A terminal line: `text` and a line feed.
void print_line(std::string_view text);
void print_error_line(std::string_view text);

}  // namespace vc::cli
