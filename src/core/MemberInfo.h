// What the call frame knows about one interface member. One constant record per member is
// generated from the catalogue; the frame reads nothing else.
#pragma once

#include "base/CallContext.h"

namespace korvane {

enum class MemberKind : unsigned char { Get, Put, Method };

// How a member is implemented once the frame has done its checks.
// The catalogue's implementation kinds; a forward reaches the frame as a generated hook.
enum class ImplKind : unsigned char {
  Generic,     // property pattern: command and response formats
  Hook,        // a hand-written (or, for a forward, generated) function
  Navigation,  // another interface of the same object
  Collection,  // Count / Name / Item of a repeated capability
};

// A value of an enumeration putter that some families or models lack (the catalogue's
// refuse_values): the putter refuses it, naming the feature.
struct CValueRefusal {
  long value;
  const char* feature;
  const char* const* families;  // null-terminated
  const char* const* models;    // null-terminated
};

// The generated records name only the fields that differ from these defaults.
struct CMemberInfo {
  CMethodInfo method;  // IID, interface name, method name ("get_X", "put_X", "Configure")
  MemberKind kind = MemberKind::Method;
  ImplKind impl = ImplKind::Generic;  // the generator names it for every member
  bool needsConnection = true;
  bool nullChecks = true;
  // Served from the state cache while simulating: a property with a key and a cacheable type.
  bool simulated = false;
  const char* key = nullptr;                // property key, null when there is none
  const char* const* paramNames = nullptr;  // "val" for a property's value
  unsigned paramCount = 0;
  unsigned checkMask = 0;                         // bit n: parameter n is a pointer that must not be null
  unsigned clearMask = 0;                         // bit n: parameter n is out-only and is emptied before the call
  const char* const* excludedFamilies = nullptr;  // null-terminated, or null
  const char* const* excludedModels = nullptr;    // null-terminated, or null
  // Value of a simulated getter before anything was put.
  long long simInteger = 0;
  double simReal = 0.0;
  const char* simText = nullptr;     // UTF-8, null for the empty string
  const IID* target = nullptr;       // navigation: the interface returned
  const char* collection = nullptr;  // collection members: the item class name
  // Generic members: the formats the property pattern sends and parses.
  const char* query = nullptr;
  const char* response = nullptr;
  const char* command = nullptr;
};

}  // namespace korvane
