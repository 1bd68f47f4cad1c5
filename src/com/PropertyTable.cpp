// The generated table, compiled once.
#include "com/PropertyTable.h"

#include <cstring>
#include <iterator>

namespace korvane::paths {
namespace {
#include "com/PropertyTable.inc"
}  // namespace

const InterfaceInfo* Interfaces(std::size_t* count) {
  *count = std::size(kInterfaces);
  return kInterfaces;
}

const EnumInfo* Enums(std::size_t* count) {
  *count = std::size(kEnums);
  return kEnums;
}

int RootInterface() {
  for (std::size_t k = 0; k < std::size(kInterfaces); ++k)
    if (std::strcmp(kInterfaces[k].name, "IKorvane8") == 0) return static_cast<int>(k);
  return -1;
}

const EnumInfo* FindEnum(const char* name) {
  for (const EnumInfo& e : kEnums)
    if (std::strcmp(e.name, name) == 0) return &e;
  return nullptr;
}

}  // namespace korvane::paths
