#include "visacom/ResourceName.h"
#include "base/StringUtil.h"

#include "visacom/VisaCom.h"

#include <cstdio>
#include <vector>

namespace korvane::visacom {
namespace {

using visa::VI_INTF_ASRL;
using visa::VI_INTF_GPIB;
using visa::VI_INTF_GPIB_VXI;
using visa::VI_INTF_PXI;
using visa::VI_INTF_TCPIP;
using visa::VI_INTF_USB;
using visa::VI_INTF_VXI;

bool IsDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Decimal, or hexadecimal with a 0x prefix (USB ids); no sign, no overflow past `max`.
bool ParseNumber(std::string_view s, unsigned long max, unsigned long& v) {
  unsigned base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return false;
  v = 0;
  for (char c : s) {
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (base == 16 && UpperAscii(c) >= 'A' && UpperAscii(c) <= 'F')
      d = static_cast<unsigned>(UpperAscii(c) - 'A' + 10);
    else return false;
    v = v * base + d;
    if (v > max) return false;
  }
  return true;
}

// Splits on "::", keeping a bracketed IPv6 literal ("[fe80::1]") in one field.
std::vector<std::string_view> SplitFields(std::string_view text) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (true) {
    std::size_t from = start;
    if (from < text.size() && text[from] == '[') {
      std::size_t close = text.find(']', from);
      if (close != std::string_view::npos) from = close;
    }
    std::size_t sep = text.find("::", from);
    if (sep == std::string_view::npos) {
      fields.push_back(text.substr(start));
      return fields;
    }
    fields.push_back(text.substr(start, sep - start));
    start = sep + 2;
  }
}

const char* const kClasses[] = {"INSTR", "SOCKET", "RAW", "INTFC", "BACKPLANE", "MEMACC", "SERVANT"};

bool IsClassName(std::string_view s) {
  for (const char* c : kClasses)
    if (EqualsNoCase(s, c)) return true;
  return false;
}

struct Parser {
  ResourceName& r;
  std::string& why;

  bool Fail(std::string text) {
    why = std::move(text);
    return false;
  }

  // Separates the trailing resource class, if any, from the address fields.
  std::string TakeClass(std::vector<std::string_view>& f) {
    if (!f.empty() && IsClassName(f.back())) {
      std::string cls = ToUpperAscii(f.back());
      f.pop_back();
      return cls;
    }
    return {};
  }

  std::string Prefix(const char* keyword) const { return std::string(keyword) + std::to_string(r.board); }

  bool Tcpip(std::vector<std::string_view> f) {
    std::string cls = TakeClass(f);
    if (f.empty() || f[0].empty()) return Fail("the host name is missing");
    std::string_view host = f[0];
    if (host.front() == '[') {
      if (host.size() < 3 || host.back() != ']') return Fail("malformed IPv6 address");
      host = host.substr(1, host.size() - 2);
    }
    r.host = std::string(host);
    if (cls == "SOCKET") {
      if (f.size() != 2) return Fail("a SOCKET resource needs exactly a host and a port");
      unsigned long port = 0;
      if (!IsDigits(f[1]) || !ParseNumber(f[1], 65535, port) || port == 0)
        return Fail("the port must be a number from 1 to 65535");
      r.port = static_cast<std::uint16_t>(port);
      r.resourceClass = cls;
      r.canonical = Prefix("TCPIP") + "::" + std::string(f[0]) + "::" + std::to_string(port) + "::SOCKET";
      return true;
    }
    if (!cls.empty() && cls != "INSTR") return Fail("resource class " + cls + " does not exist for TCPIP");
    if (f.size() > 2) return Fail("too many fields for a TCPIP INSTR resource");
    r.deviceName = f.size() == 2 ? std::string(f[1]) : std::string("inst0");
    if (r.deviceName.empty()) return Fail("the LAN device name is empty");
    r.resourceClass = "INSTR";
    r.canonical = Prefix("TCPIP") + "::" + std::string(f[0]) + "::" + r.deviceName + "::INSTR";
    return true;
  }

  bool Gpib(std::vector<std::string_view> f) {
    std::string cls = TakeClass(f);
    if (cls == "INTFC" || cls == "SERVANT") {
      if (!f.empty()) return Fail("GPIB " + cls + " takes no address");
      r.resourceClass = cls;
      r.canonical = Prefix("GPIB") + "::" + cls;
      return true;
    }
    if (!cls.empty() && cls != "INSTR") return Fail("resource class " + cls + " does not exist for GPIB");
    if (f.empty() || f.size() > 2) return Fail("a GPIB instrument needs a primary and an optional secondary address");
    std::string addr;
    for (std::string_view a : f) {
      unsigned long v = 0;
      if (!IsDigits(a) || !ParseNumber(a, 30, v)) return Fail("GPIB addresses are numbers from 0 to 30");
      addr += "::" + std::to_string(v);
    }
    r.resourceClass = "INSTR";
    r.canonical = Prefix("GPIB") + addr + "::INSTR";
    return true;
  }

  bool Usb(std::vector<std::string_view> f) {
    std::string cls = TakeClass(f);
    if (cls.empty()) cls = "INSTR";
    if (cls != "INSTR" && cls != "RAW") return Fail("resource class " + cls + " does not exist for USB");
    if (f.size() < 3 || f.size() > 4)
      return Fail("a USB resource needs manufacturer id, model code and serial number");
    unsigned long manf = 0, model = 0, intfc = 0;
    if (!ParseNumber(f[0], 0xFFFF, manf)) return Fail("the USB manufacturer id is not a 16-bit number");
    if (!ParseNumber(f[1], 0xFFFF, model)) return Fail("the USB model code is not a 16-bit number");
    if (f[2].empty()) return Fail("the USB serial number is empty");
    if (f.size() == 4 && (!IsDigits(f[3]) || !ParseNumber(f[3], 255, intfc)))
      return Fail("the USB interface number is not a number from 0 to 255");
    r.usbVendor = static_cast<std::uint16_t>(manf);
    r.usbModel = static_cast<std::uint16_t>(model);
    r.usbSerial = std::string(f[2]);
    r.usbInterface = f.size() == 4 ? static_cast<int>(intfc) : -1;
    char ids[32];
    std::snprintf(ids, sizeof ids, "::0x%04lX::0x%04lX::", manf, model);
    r.resourceClass = cls;
    r.canonical = Prefix("USB") + ids + std::string(f[2]) + (f.size() == 4 ? "::" + std::to_string(intfc) : "") +
                  "::" + cls;
    return true;
  }

  bool Asrl(std::vector<std::string_view> f) {
    std::string cls = TakeClass(f);
    if (!cls.empty() && cls != "INSTR") return Fail("resource class " + cls + " does not exist for ASRL");
    if (!f.empty()) return Fail("an ASRL resource takes no address fields");
    r.resourceClass = "INSTR";
    r.canonical = (r.devicePath.empty() ? Prefix("ASRL") : "ASRL" + r.devicePath) + "::INSTR";
    return true;
  }

  bool Vxi(std::vector<std::string_view> f, const char* keyword, bool allowServant) {
    std::string cls = TakeClass(f);
    if (cls == "MEMACC" || (allowServant && cls == "SERVANT")) {
      if (!f.empty()) return Fail(cls + " takes no address");
      r.resourceClass = cls;
      r.canonical = Prefix(keyword) + "::" + cls;
      return true;
    }
    if (cls.empty()) cls = "INSTR";
    if (cls != "INSTR" && cls != "BACKPLANE") return Fail("resource class " + cls + " does not exist for " + keyword);
    unsigned long la = 0;
    if (f.size() != 1 || !IsDigits(f[0]) || !ParseNumber(f[0], 255, la))
      return Fail("a logical address from 0 to 255 is required");
    r.resourceClass = cls;
    r.canonical = Prefix(keyword) + "::" + std::to_string(la) + "::" + cls;
    return true;
  }

  bool Pxi(std::vector<std::string_view> f) {
    std::string cls = TakeClass(f);
    if (cls == "MEMACC") {
      if (!f.empty()) return Fail("MEMACC takes no address");
    } else if (cls == "BACKPLANE") {
      if (f.size() != 1 || !IsDigits(f[0])) return Fail("a PXI backplane needs a chassis number");
    } else {
      if (cls.empty()) cls = "INSTR";
      if (cls != "INSTR") return Fail("resource class " + cls + " does not exist for PXI");
      if (f.empty() || f.size() > 3) return Fail("a PXI instrument needs one to three address fields");
    }
    std::string addr;
    for (std::string_view a : f) {
      if (a.empty()) return Fail("empty PXI address field");
      addr += "::" + ToUpperAscii(a);
    }
    r.resourceClass = cls;
    r.canonical = Prefix("PXI") + addr + "::" + cls;
    return true;
  }

  bool Run(std::string_view text) {
    if (text.empty()) return Fail("the resource name is empty");
    std::vector<std::string_view> f = SplitFields(text);
    // "x:" + "::" reads back as "x" + "::" + ":", so such a field would not survive its own
    // canonical spelling.
    for (std::string_view field : f)
      if (!field.empty() && (field.front() == ':' || field.back() == ':'))
        return Fail("the field \"" + std::string(field) + "\" begins or ends with ':', next to the '::' separator");
    std::string_view head = f[0];
    f.erase(f.begin());

    struct Keyword {
      const char* name;
      SHORT type;
    };
    // GPIB-VXI before GPIB: the longer keyword wins.
    static const Keyword kKeywords[] = {
        {"GPIB-VXI", VI_INTF_GPIB_VXI}, {"GPIB", VI_INTF_GPIB}, {"TCPIP", VI_INTF_TCPIP}, {"ASRL", VI_INTF_ASRL},
        {"USB", VI_INTF_USB},           {"VXI", VI_INTF_VXI},   {"PXI", VI_INTF_PXI}};
    const Keyword* kw = nullptr;
    for (const Keyword& k : kKeywords)
      if (StartsWithNoCase(head, k.name)) {
        kw = &k;
        break;
      }
    if (!kw) return Fail("unknown interface type in \"" + std::string(head) + "\"");
    std::string_view boardText = head.substr(std::char_traits<char>::length(kw->name));
    r.interfaceType = kw->type;
    if (kw->type == VI_INTF_ASRL && !boardText.empty() && boardText.front() == '/') {
      r.devicePath = std::string(boardText);
    } else if (!boardText.empty()) {
      unsigned long board = 0;
      if (!IsDigits(boardText) || !ParseNumber(boardText, 32767, board))
        return Fail("the board number \"" + std::string(boardText) + "\" is not a number");
      r.board = static_cast<SHORT>(board);
    }
    switch (kw->type) {
      case VI_INTF_TCPIP: return Tcpip(std::move(f));
      case VI_INTF_GPIB: return Gpib(std::move(f));
      case VI_INTF_USB: return Usb(std::move(f));
      case VI_INTF_ASRL: return Asrl(std::move(f));
      case VI_INTF_VXI: return Vxi(std::move(f), "VXI", true);
      case VI_INTF_GPIB_VXI: return Vxi(std::move(f), "GPIB-VXI", false);
      default: return Pxi(std::move(f));
    }
  }
};

}  // namespace

bool ParseResourceName(std::string_view text, ResourceName& out, std::string& why) {
  ResourceName r;
  Parser p{r, why};
  if (!p.Run(text)) return false;
  out = std::move(r);
  return true;
}

}  // namespace korvane::visacom
