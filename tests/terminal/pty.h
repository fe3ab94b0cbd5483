// Runs a program on a pseudo-terminal of its own, as in a terminal window,
// and replays what it wrote the way a terminal shows it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace terminal_test {

struct PtyRun {
  int rc = -1;
  std::string output;  // every byte the program wrote to the terminal
  // When each piece of output arrived (seconds since the start), and its
  // offset in output.
  std::vector<std::pair<double, size_t>> arrivals;
  double seconds = 0;
};

// Starts argv[0] with argv on a new terminal of the given width; the
// environment is this process's with extra ("NAME=value") on top. Standard
// input, output and error are the terminal unless stderrFile is given
// (standard error then goes to that file).
PtyRun RunOnPty(const std::vector<std::string>& argv, const std::vector<std::string>& extra = {},
                unsigned short columns = 100, const std::string& stderrFile = "");

// The lines a terminal shows after that output: carriage return goes to the
// line's start, ESC [ K erases to its end, line feed opens the next line,
// and text overwrites what stands there. Lines longer than columns wrap.
std::vector<std::string> Screen(const std::string& output, size_t columns);

// Whether text is well-formed UTF-8.
bool ValidUtf8(const std::string& text);

}  // namespace terminal_test
