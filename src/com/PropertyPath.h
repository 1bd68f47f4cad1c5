// A property reached by its interface path from the root, e.g. "Channels.Item(Channel1).Offset":
// the path is checked against the generated table before any session opens, then walked on the
// live object. Used by the configuration store's initial settings and by the korvane tool.
#pragma once

#include "com/PropertyTable.h"

#include <string>
#include <vector>

namespace korvane::paths {

struct PathStep {
  const MemberInfo* member;  // a navigation or Item getter
  std::string itemName;      // the argument of Item
};

struct PropertyPath {
  std::vector<PathStep> steps;
  const MemberInfo* property = nullptr;
  int interfaceIndex = -1;  // the interface that holds the property
};

// False with a message naming the first segment that does not resolve and what would.
bool ResolvePath(const std::string& text, PropertyPath& out, std::string& error);

// Text <-> value by the property's kind. Enumerations accept the member word, the full member
// name or the number; booleans true/false/1/0/on/off.
bool ParseValue(const MemberInfo& m, const std::string& text, Value& out, std::string& error);
std::string FormatValue(const MemberInfo& m, const Value& v);

// Navigates from the root (an IUnknown of the root's newest interface) and reads or writes.
HRESULT ReadProperty(IUnknown* root, const PropertyPath& path, Value& out);
HRESULT WriteProperty(IUnknown* root, const PropertyPath& path, const Value& in);

// The interface reached by a path that names no property ("" is the root), for listings.
bool ResolveInterface(const std::string& text, int& interfaceIndex, std::string& error);
// The steps to an object ("Measurements.Item(Channel1)"); property stays null.
bool ResolveObject(const std::string& text, PropertyPath& out, std::string& error);
// Member lines grouped (objects, collections, properties, methods) and sorted, with the group
// titles as lines of their own; used in error messages.
std::vector<std::string> MemberListing(int interfaceIndex);
// One member as a listing shows it: "Slope  KorvaneTriggerSlopeEnum, read/write: Negative | Positive".
std::string Describe(const MemberInfo& m);

// The same order as a tree: the objects and collections reached are expanded depth - 1 levels.
struct ListedMember {
  const MemberInfo* member;
  std::vector<ListedMember> children;
};
std::vector<ListedMember> ListTree(int interfaceIndex, int depth);

// When a path's Item(<name>) names nothing the live collection holds: a message with the names
// it does hold; empty when every name along the path exists.
std::string UnknownItemHint(IUnknown* root, const PropertyPath& path);

// Shell completion: the paths that continue a partial one ("Trig" -> "Trigger.").
std::vector<std::string> CompletePath(const std::string& partial);

}  // namespace korvane::paths
