#include "ivic/AttributeMap.h"

namespace korvane::ivic {

ViStatus CIviCAttributeManager::ReportAttributeError(ViSession vi, ViStatus status) const noexcept {
  IviSession_SetError(vi, status, StatusMessage(status));
  return status;
}

const CIviCAttributeMap& CIviCAttributeMap::Instance() {
  // Built by the first accessor call of the process; the initialisation is thread-safe.
  static const CIviCAttributeMap map;
  return map;
}

CIviCAttributeMap::CIviCAttributeMap() {
  std::size_t rows = 0;
  for (std::size_t k = 0; k < kAttributePartCount; ++k) rows += kAttributeParts[k].size();
  // About two buckets per row keeps the chains short; an odd count spreads the identifiers,
  // which come in runs.
  buckets_.assign(rows * 2 + 1, nullptr);
  nodes_.reserve(rows);
  for (std::size_t k = 0; k < kAttributePartCount; ++k) {
    for (const AttributeEntry& entry : kAttributeParts[k]) {
      const std::size_t b = entry.id % buckets_.size();
      nodes_.push_back(Node{entry.id, &entry, buckets_[b]});
      buckets_[b] = &nodes_.back();
    }
  }
}

const AttributeEntry* CIviCAttributeMap::Find(ViAttr id) const noexcept {
  for (const Node* n = buckets_[id % buckets_.size()]; n; n = n->next)
    if (n->key == id) return n->entry;
  return nullptr;
}

ViStatus CIviCAttributeMap::Check(ViSession vi, ViAttr id, AttributeType type, bool get,
                                  const AttributeEntry*& entry) const noexcept {
  entry = Find(id);
  ViStatus status = VI_SUCCESS;
  if (!entry) status = IVI_ERROR_INVALID_ATTRIBUTE;
  else if (entry->type != type) status = IVI_ERROR_TYPES_DO_NOT_MATCH;
  else if (get && !entry->get) status = IVI_ERROR_ATTR_NOT_READABLE;
  else if (!get && !entry->set) status = IVI_ERROR_ATTR_NOT_WRITEABLE;
  return status == VI_SUCCESS ? status : ReportAttributeError(vi, status);
}

ViStatus CIviCAttributeMap::Get(ViSession vi, ViConstString repCapName, ViAttr id, AttributeType type, void* value,
                                ViInt32 bufferSize) const noexcept {
  const AttributeEntry* entry = nullptr;
  const ViStatus status = Check(vi, id, type, true, entry);
  return status != VI_SUCCESS ? status : entry->get(vi, repCapName, value, bufferSize);
}

ViStatus CIviCAttributeMap::Set(ViSession vi, ViConstString repCapName, ViAttr id, AttributeType type,
                                const void* value) const noexcept {
  const AttributeEntry* entry = nullptr;
  const ViStatus status = Check(vi, id, type, false, entry);
  return status != VI_SUCCESS ? status : entry->set(vi, repCapName, value);
}

}  // namespace korvane::ivic

using korvane::ivic::CIviCAttributeMap;
using namespace korvane::ivic;

namespace {

// The map is built on the first accessor call; a failure to build it (memory) is reported as such.
template <class F>
ViStatus WithMap(ViSession vi, F&& f) noexcept {
  return korvane::Guarded<ViStatusPolicy>([&] { return f(CIviCAttributeMap::Instance()); },
                                          [vi](const korvane::CaughtException&) noexcept { return OutOfMemory(vi); });
}

}  // namespace

extern "C" {

ViStatus _VI_FUNC Korvane_GetAttributeViInt32(ViSession vi, ViConstString repCapName, ViAttr attributeId,
                                              ViInt32* value) {
  return WithMap(vi,
                 [&](const CIviCAttributeMap& m) { return m.Get(vi, repCapName, attributeId, kAttrInt32, value, 0); });
}
ViStatus _VI_FUNC Korvane_GetAttributeViInt64(ViSession vi, ViConstString repCapName, ViAttr attributeId,
                                              ViInt64* value) {
  return WithMap(vi,
                 [&](const CIviCAttributeMap& m) { return m.Get(vi, repCapName, attributeId, kAttrInt64, value, 0); });
}
ViStatus _VI_FUNC Korvane_GetAttributeViReal64(ViSession vi, ViConstString repCapName, ViAttr attributeId,
                                               ViReal64* value) {
  return WithMap(vi, [&](const CIviCAttributeMap& m) {
    return m.Get(vi, repCapName, attributeId, kAttrReal64, value, 0);
  });
}
ViStatus _VI_FUNC Korvane_GetAttributeViBoolean(ViSession vi, ViConstString repCapName, ViAttr attributeId,
                                                ViBoolean* value) {
  return WithMap(vi, [&](const CIviCAttributeMap& m) {
    return m.Get(vi, repCapName, attributeId, kAttrBoolean, value, 0);
  });
}
ViStatus _VI_FUNC Korvane_GetAttributeViSession(ViSession vi, ViConstString repCapName, ViAttr attributeId,
                                                ViSession* value) {
  return WithMap(vi, [&](const CIviCAttributeMap& m) {
    return m.Get(vi, repCapName, attributeId, kAttrSession, value, 0);
  });
}
ViStatus _VI_FUNC Korvane_GetAttributeViString(ViSession vi, ViConstString repCapName, ViAttr attributeId,
                                               ViInt32 bufferSize, ViChar value[]) {
  return WithMap(vi, [&](const CIviCAttributeMap& m) {
    return m.Get(vi, repCapName, attributeId, kAttrString, value, bufferSize);
  });
}
ViStatus _VI_FUNC Korvane_SetAttributeViInt32(ViSession vi, ViConstString repCapName, ViAttr attributeId,
                                              ViInt32 value) {
  return WithMap(vi,
                 [&](const CIviCAttributeMap& m) { return m.Set(vi, repCapName, attributeId, kAttrInt32, &value); });
}
ViStatus _VI_FUNC Korvane_SetAttributeViInt64(ViSession vi, ViConstString repCapName, ViAttr attributeId,
                                              ViInt64 value) {
  return WithMap(vi,
                 [&](const CIviCAttributeMap& m) { return m.Set(vi, repCapName, attributeId, kAttrInt64, &value); });
}
ViStatus _VI_FUNC Korvane_SetAttributeViReal64(ViSession vi, ViConstString repCapName, ViAttr attributeId,
                                               ViReal64 value) {
  return WithMap(vi,
                 [&](const CIviCAttributeMap& m) { return m.Set(vi, repCapName, attributeId, kAttrReal64, &value); });
}
ViStatus _VI_FUNC Korvane_SetAttributeViBoolean(ViSession vi, ViConstString repCapName, ViAttr attributeId,
                                                ViBoolean value) {
  return WithMap(vi,
                 [&](const CIviCAttributeMap& m) { return m.Set(vi, repCapName, attributeId, kAttrBoolean, &value); });
}
ViStatus _VI_FUNC Korvane_SetAttributeViSession(ViSession vi, ViConstString repCapName, ViAttr attributeId,
                                                ViSession value) {
  return WithMap(vi,
                 [&](const CIviCAttributeMap& m) { return m.Set(vi, repCapName, attributeId, kAttrSession, &value); });
}
// The string itself is the value: no copy of a pointer to it.
ViStatus _VI_FUNC Korvane_SetAttributeViString(ViSession vi, ViConstString repCapName, ViAttr attributeId,
                                               ViConstString value) {
  return WithMap(vi,
                 [&](const CIviCAttributeMap& m) { return m.Set(vi, repCapName, attributeId, kAttrString, value); });
}

}  // extern "C"
