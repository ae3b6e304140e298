#pragma once
// What quorvin-cli finds where it starts: its arguments, its standard streams and the terminal
// they lead to. Windows and POSIX each answer in their own calls.

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace quorvin::cli {

// The arguments without the program name, as UTF-8: on Windows from the wide command line, so
// that any folder name survives. Result length: argc - 1 (POSIX).
std::vector<std::string> utf8_arguments(int argc, char** argv);

// The columns the help is wrapped to: the terminal's, else $COLUMNS, else 80.
std::size_t help_width();

bool error_stream_is_terminal();

// Whether report lines land on the terminal of the progress line, where they would share its row.
bool report_shares_terminal();

// True when the whole text reached the stream; errno tells why not.
bool write_text(std::FILE* stream, const std::string& text);

// Closed standard streams opened on the null device, before any file is opened; on Windows
// standard output is also made binary.
void prepare_standard_streams();

}  // namespace quorvin::cli
