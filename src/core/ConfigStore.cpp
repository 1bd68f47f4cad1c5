#include "core/ConfigStore.h"

namespace korvane {

HRESULT CreateSystemConfigStore(std::unique_ptr<IConfigStore>& out) {
  out.reset();
  return REGDB_E_CLASSNOTREG;
}

}  // namespace korvane
