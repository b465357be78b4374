// The interactive console's line input: the one place that knows whether an
// operator types at a terminal or the lines come from a pipe or a file.
#pragma once

#include <cstddef>
#include <string>

namespace plat {

// Shows the prompt and reads one line of standard input without its line
// feed. Only the first `limit` characters are kept; the rest of the line is
// read and dropped, so an over-long line is cut rather than split into
// several. False at the end of input when no character was read; a last line
// without a line feed is a line.
//
// POSIX, standard input and output both terminals: the line is edited with
// libedit: left/right, Home/End, Up/Down through the lines entered in this
// session, Ctrl-R to search back through them. Every non-blank line goes
// into that history; nothing is kept once the process ends.
// Otherwise (a pipe, a file, or Windows, whose console edits lines itself)
// the prompt goes to standard output, which is flushed, and the bytes up to
// the next line feed are read as they come.
bool read_line(const char* prompt, size_t limit, std::string& line);

// The plain reading of read_line, on every system: prompt, flush, the bytes
// up to the next line feed.
bool read_plain_line(const char* prompt, size_t limit, std::string& line);

}  // namespace plat
