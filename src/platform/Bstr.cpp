// BSTR: a UTF-16 string preceded by its length in bytes (32 bits) and followed by a NUL
// character; the pointer handed out points at the first character. Embedded NULs are allowed.
#include <korvane/KorvanePlatform.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kPrefix = sizeof(uint32_t);
constexpr std::size_t kMaxBytes = 0x7FFFFFF0u;

uint32_t* Header(BSTR s) { return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(s) - kPrefix); }

// Allocates room for `bytes` bytes plus a NUL character; copies `src` when given, else zeroes.
BSTR Allocate(const void* src, std::size_t bytes) {
  if (bytes > kMaxBytes) return nullptr;
  // Round up so the terminator is always a whole, aligned OLECHAR even for odd byte lengths.
  std::size_t total = kPrefix + bytes + sizeof(OLECHAR) + 1;
  auto* block = static_cast<char*>(std::malloc(total));
  if (!block) return nullptr;
  *reinterpret_cast<uint32_t*>(block) = static_cast<uint32_t>(bytes);
  char* data = block + kPrefix;
  if (src) std::memcpy(data, src, bytes);
  else std::memset(data, 0, bytes);
  std::memset(data + bytes, 0, sizeof(OLECHAR) + 1);
  return reinterpret_cast<BSTR>(data);
}

std::size_t Length(const OLECHAR* s) {
  std::size_t n = 0;
  while (s[n]) ++n;
  return n;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  return Allocate(psz, Length(psz) * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  return Allocate(strIn, static_cast<std::size_t>(ui) * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) { return Allocate(psz, len); }

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
  if (!pbstr) return FALSE;
  // Allocate first: psz may point into the old string.
  BSTR fresh = SysAllocStringLen(psz, len);
  if (!fresh) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (!pbstr) return FALSE;
  BSTR fresh = SysAllocString(psz);
  if (psz && !fresh) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

void SysFreeString(BSTR bstrString) {
  if (bstrString) std::free(Header(bstrString));
}

UINT SysStringByteLen(BSTR bstr) { return bstr ? *Header(bstr) : 0; }

UINT SysStringLen(BSTR pbstr) { return pbstr ? *Header(pbstr) / sizeof(OLECHAR) : 0; }
