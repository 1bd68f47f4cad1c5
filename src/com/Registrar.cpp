// The registrar: parses a registry script into a tree of keys, then writes or removes it.
#include "com/Registrar.h"

#include "platform/Guard.h"

#include <cwctype>
#include <memory>
#include <vector>

namespace korvane {
namespace {

constexpr HRESULT kBadScript = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

struct Entry {
  std::wstring name;
  bool isValue = false;  // "val Name = ..."
  bool noRemove = false;
  bool forceRemove = false;
  bool hasData = false;
  DWORD type = REG_SZ;
  std::wstring text;
  DWORD number = 0;
  std::vector<Entry> children;
};

struct Root {
  HKEY hive;
  bool classes;  // HKCR: per-user registration redirects it
  std::vector<Entry> keys;
};

bool SameWord(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  return true;
}

class Parser {
 public:
  Parser(std::wstring_view text, const std::map<std::wstring, std::wstring>& replacements)
      : text_(text), replacements_(replacements) {}

  bool Parse(std::vector<Root>& roots) {
    Token t;
    while (Next(t)) {
      Root root{};
      if (!RootKey(t.text, root)) return false;
      if (!Next(t) || !t.Is(L"{") || !Block(root.keys)) return false;
      roots.push_back(std::move(root));
    }
    return ok_;
  }

 private:
  struct Token {
    std::wstring text;
    bool quoted = false;
    bool Is(std::wstring_view w) const { return !quoted && text == w; }
    bool Word(std::wstring_view w) const { return !quoted && SameWord(text, w); }
  };

  static bool RootKey(std::wstring_view name, Root& root) {
    if (SameWord(name, L"HKCR") || SameWord(name, L"HKEY_CLASSES_ROOT")) {
      root.hive = HKEY_CLASSES_ROOT;
      root.classes = true;
    } else if (SameWord(name, L"HKCU") || SameWord(name, L"HKEY_CURRENT_USER")) {
      root.hive = HKEY_CURRENT_USER;
    } else if (SameWord(name, L"HKLM") || SameWord(name, L"HKEY_LOCAL_MACHINE")) {
      root.hive = HKEY_LOCAL_MACHINE;
    } else {
      return false;
    }
    return true;
  }

  // The entries of a block whose "{" has been read, through its "}".
  bool Block(std::vector<Entry>& entries) {
    Token t;
    while (Next(t)) {
      if (t.Is(L"}")) return true;
      Entry e;
      if (t.Word(L"val")) {
        e.isValue = true;
        if (!Next(t)) return false;
      } else {
        for (;;) {
          if (t.Word(L"NoRemove")) e.noRemove = true;
          else if (t.Word(L"ForceRemove")) e.forceRemove = true;
          else break;
          if (!Next(t)) return false;
        }
      }
      if (t.Is(L"{") || t.Is(L"}") || t.Is(L"=") || t.text.empty()) return false;
      e.name = std::move(t.text);
      if (!Peek(t)) return false;
      if (t.Is(L"=")) {
        Next(t);
        if (!Data(e)) return false;
      } else if (e.isValue) {
        return false;
      }
      if (!e.isValue && Peek(t) && t.Is(L"{")) {
        Next(t);
        if (!Block(e.children)) return false;
      }
      entries.push_back(std::move(e));
    }
    return false;  // the block is not closed
  }

  bool Data(Entry& e) {
    Token kind, value;
    if (!Next(kind) || !Next(value)) return false;
    e.hasData = true;
    if (kind.Word(L"s")) {
      e.type = REG_SZ;
      e.text = std::move(value.text);
      return true;
    }
    if (kind.Word(L"d")) {
      e.type = REG_DWORD;
      wchar_t* end = nullptr;
      const unsigned long n = std::wcstoul(value.text.c_str(), &end, 0);
      if (value.text.empty() || *end) return false;
      e.number = static_cast<DWORD>(n);
      return true;
    }
    return false;
  }

  bool Peek(Token& t) {
    const std::size_t at = pos_;
    const bool got = Next(t);
    pos_ = at;
    return got;
  }

  bool Next(Token& t) {
    t = Token{};
    while (pos_ < text_.size() && std::iswspace(text_[pos_])) ++pos_;
    if (pos_ >= text_.size()) return false;
    std::wstring raw;
    if (text_[pos_] == L'\'') {
      t.quoted = true;
      for (++pos_;; ++pos_) {
        if (pos_ >= text_.size()) return Fail();
        if (text_[pos_] == L'\'') {
          if (pos_ + 1 < text_.size() && text_[pos_ + 1] == L'\'') {
            raw += L'\'';
            ++pos_;
            continue;
          }
          ++pos_;
          break;
        }
        raw += text_[pos_];
      }
    } else {
      while (pos_ < text_.size() && !std::iswspace(text_[pos_])) raw += text_[pos_++];
    }
    return Replace(raw, t.text) || Fail();
  }

  bool Replace(const std::wstring& raw, std::wstring& out) const {
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != L'%') {
        out += raw[i];
        continue;
      }
      const std::size_t end = raw.find(L'%', i + 1);
      if (end == std::wstring::npos) return false;
      if (end == i + 1) {
        out += L'%';
      } else {
        auto it = replacements_.find(raw.substr(i + 1, end - i - 1));
        if (it == replacements_.end()) return false;
        out += it->second;
      }
      i = end;
    }
    return true;
  }

  bool Fail() {
    ok_ = false;
    return false;
  }

  std::wstring_view text_;
  const std::map<std::wstring, std::wstring>& replacements_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

struct KeyCloser {
  void operator()(HKEY k) const noexcept { RegCloseKey(k); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

HRESULT FromStatus(LSTATUS s) { return s == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(s)); }

bool Missing(LSTATUS s) { return s == ERROR_FILE_NOT_FOUND || s == ERROR_PATH_NOT_FOUND; }

HRESULT SetData(HKEY key, const wchar_t* name, const Entry& e) {
  if (e.type == REG_DWORD)
    return FromStatus(
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&e.number), sizeof e.number));
  return FromStatus(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(e.text.c_str()),
                                   static_cast<DWORD>((e.text.size() + 1) * sizeof(wchar_t))));
}

HRESULT RegisterKey(HKEY parent, const Entry& e) {
  if (e.forceRemove) {
    LSTATUS s = RegDeleteTreeW(parent, e.name.c_str());
    if (s != ERROR_SUCCESS && !Missing(s)) return FromStatus(s);
  }
  HKEY raw = nullptr;
  LSTATUS s = RegCreateKeyExW(parent, e.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                              nullptr, &raw, nullptr);
  if (s != ERROR_SUCCESS) return FromStatus(s);
  Key key(raw);
  if (e.hasData) {
    if (HRESULT hr = SetData(key.get(), nullptr, e); FAILED(hr)) return hr;
  }
  for (const Entry& c : e.children) {
    HRESULT hr = c.isValue ? SetData(key.get(), c.name.c_str(), c) : RegisterKey(key.get(), c);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT UnregisterKey(HKEY parent, const Entry& e) {
  if (e.forceRemove) {
    LSTATUS s = RegDeleteTreeW(parent, e.name.c_str());
    return Missing(s) ? S_OK : FromStatus(s);
  }
  HKEY raw = nullptr;
  LSTATUS s = RegOpenKeyExW(parent, e.name.c_str(), 0, KEY_READ | KEY_WRITE, &raw);
  if (Missing(s)) return S_OK;
  if (s != ERROR_SUCCESS) return FromStatus(s);
  Key key(raw);
  for (const Entry& c : e.children) {
    if (c.isValue) {
      LSTATUS v = RegDeleteValueW(key.get(), c.name.c_str());
      if (v != ERROR_SUCCESS && !Missing(v)) return FromStatus(v);
    } else if (HRESULT hr = UnregisterKey(key.get(), c); FAILED(hr)) {
      return hr;
    }
  }
  if (e.noRemove) return S_OK;
  // A key that still has subkeys holds someone else's registration: leave it.
  DWORD subkeys = 0;
  s = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr);
  if (s != ERROR_SUCCESS) return FromStatus(s);
  key.reset();
  if (subkeys) return S_OK;
  s = RegDeleteKeyW(parent, e.name.c_str());
  return Missing(s) ? S_OK : FromStatus(s);
}

}  // namespace

HRESULT CRegistrar::Apply(std::wstring_view script, bool registering) noexcept {
  return Guarded([&]() -> HRESULT {
    std::vector<Root> roots;
    if (!Parser(script, replacements_).Parse(roots)) return kBadScript;
    for (const Root& root : roots) {
      HKEY hive = root.hive;
      Key userClasses;
      if (root.classes && perUser_) {
        HKEY raw = nullptr;
        LSTATUS s = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_READ | KEY_WRITE, nullptr, &raw, nullptr);
        if (s != ERROR_SUCCESS) return FromStatus(s);
        userClasses.reset(raw);
        hive = raw;
      }
      for (const Entry& e : root.keys) {
        HRESULT hr = registering ? RegisterKey(hive, e) : UnregisterKey(hive, e);
        if (FAILED(hr)) return hr;
      }
    }
    return S_OK;
  });
}

HRESULT CRegistrar::ApplyResource(HMODULE module, unsigned id, bool registering) noexcept {
  HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
  if (!res) return HRESULT_FROM_WIN32(GetLastError());
  HGLOBAL loaded = LoadResource(module, res);
  const DWORD size = SizeofResource(module, res);
  const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (!bytes) return HRESULT_FROM_WIN32(GetLastError());
  return Guarded([&]() -> HRESULT {
    // The scripts are UTF-8 text.
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(size), nullptr, 0);
    if (n <= 0 && size) return kBadScript;
    std::wstring text(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(size), text.data(), n);
    return Apply(text, registering);
  });
}

}  // namespace korvane
