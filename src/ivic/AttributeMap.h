// The attribute table of the IVI-C accessors: identifier -> type code, getter, setter.
#pragma once

#include "ivic/Families.h"

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace korvane::ivic {

// The generated rows, in blocks (one per generated translation unit).
extern const std::span<const AttributeEntry> kAttributeParts[];
extern const std::size_t kAttributePartCount;

class CIviCAttributeManager {
 public:
  virtual ~CIviCAttributeManager() = default;
  // Stores the status's default text with the session and returns the status.
  virtual ViStatus ReportAttributeError(ViSession vi, ViStatus status) const noexcept;
};

// A chained hash map keyed by the identifier (the identifier is its own hash), filled once from
// the generated rows and read-only afterwards.
class CIviCAttributeMap final : public CIviCAttributeManager {
 public:
  static const CIviCAttributeMap& Instance();

  const AttributeEntry* Find(ViAttr id) const noexcept;
  std::size_t size() const noexcept { return nodes_.size(); }

  // The accessor: identifier, type and access checks, then the getter or setter.
  ViStatus Get(ViSession vi, ViConstString repCapName, ViAttr id, AttributeType type, void* value,
               ViInt32 bufferSize) const noexcept;
  ViStatus Set(ViSession vi, ViConstString repCapName, ViAttr id, AttributeType type,
               const void* value) const noexcept;

 private:
  CIviCAttributeMap();
  struct Node {
    ViAttr key;
    const AttributeEntry* entry;
    const Node* next;
  };
  ViStatus Check(ViSession vi, ViAttr id, AttributeType type, bool get, const AttributeEntry*& entry) const noexcept;

  std::vector<Node> nodes_;
  std::vector<const Node*> buckets_;
};

}  // namespace korvane::ivic
