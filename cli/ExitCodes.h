// What a command's failures become: the exit code a script tests, and one message on stderr
// saying what failed and why (the driver's status and text, the instrument's own words).
#pragma once

#include "com/PropertyPath.h"

#include <korvane/KorvaneCom.h>

#include <string>
#include <vector>

namespace korvane::cli {

using namespace korvane::paths;

constexpr int kExitOk = 0;
constexpr int kExitDriverError = 1;  // the driver or the instrument reported a failure
constexpr int kExitUsage = 2;        // bad arguments, path, value, resource or collection name

// A mistake in the arguments: one line, and where to read how it goes.
int Usage(const std::string& command, const std::string& why);
// A mistake in one argument: the message alone says what to change.
int BadInput(const std::string& why);
// A file the tool could not write or a store it could not read: the message says which.
int Failure(const std::string& why);

// Everything in the instrument's error queue, oldest first, as "<code> <text>".
std::vector<std::string> InstrumentErrors(IKorvane8* root);
// The thread's error description of the call that just failed; read before any other call
// replaces it.
std::string LastErrorText();

// The driver's status and its description, as a caller sees them. When the driver says the
// instrument reported an error, the instrument's own words follow.
int Report(const std::string& what, HRESULT hr, const std::string& text, IKorvane8* root);
int Fail(const std::string& what, HRESULT hr, IKorvane8* root = nullptr);
// After a command the driver accepted: what the instrument made of it.
int CheckInstrument(const std::string& what, IKorvane8* root);
// A failure on the way along a path: a name the collection does not hold is the caller's mistake.
int FailOnPath(const std::string& what, HRESULT hr, IKorvane8* root, const PropertyPath& path);
int FailOnPath(const std::string& what, HRESULT hr, IKorvane8* root, const std::string& objectPath);

// Failures of Initialize that mean the resource or the option string as typed cannot work.
bool BadResource(HRESULT hr);
bool BadOptionString(HRESULT hr);

}  // namespace korvane::cli
