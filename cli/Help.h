// The tool's help: the overview of `korvane --help` and the page of `korvane help <command>`,
// both written from the command table (the man page is made from them).
#pragma once

#include <string>

namespace korvane::cli {

extern const char* const kResourceForms;
extern const char* const kOptionStringForms;

// The overview without a name; the command's page with one (exit 2 for a name no command has).
int Help(const std::string& command);

}  // namespace korvane::cli
