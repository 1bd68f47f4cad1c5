// `korvane __complete`: what the bash completion offers, decided here from the command table so
// that the script (korvane.bash) holds no list of its own.
#pragma once

#include <string>
#include <vector>

namespace korvane::cli {

// "commands [<partial>]": the command names, one a line (the man page lists them this way too).
// "line <word>...": the words after the program's name, the last one being typed. The first line
// out says what to do: "words" (the lines that follow are the candidates), "nospace" (the same,
// no space added: a path goes on), or "files" (the shell completes a file name).
int Complete(const std::vector<std::string>& words);

}  // namespace korvane::cli
