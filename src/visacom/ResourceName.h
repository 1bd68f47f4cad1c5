// Parsing of VISA resource strings ("TCPIP0::192.168.1.5::5025::SOCKET", "GPIB::7::INSTR", ...).
#pragma once

#include <korvane/KorvanePlatform.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace korvane::visacom {

struct ResourceName {
  SHORT interfaceType = 0;      // VI_INTF_*
  SHORT board = 0;              // interface number
  std::string resourceClass;    // "INSTR", "SOCKET", "RAW", "INTFC", "BACKPLANE", "MEMACC", "SERVANT"
  std::string host;             // TCPIP: host name or address, without IPv6 brackets
  std::string deviceName;       // TCPIP INSTR: LAN device name ("inst0", "hislip0", ...)
  std::uint16_t port = 0;       // TCPIP SOCKET
  std::string devicePath;       // ASRL given as a device path ("/dev/ttyUSB0")
  std::uint16_t usbVendor = 0;  // USB: manufacturer id, model code, serial number, interface (-1: any)
  std::uint16_t usbModel = 0;
  std::string usbSerial;
  int usbInterface = -1;
  std::string canonical;  // upper-case keywords, board and class always spelt out
};

// Parses by the VISA grammar: keywords and classes are case-insensitive, "::" separates fields,
// the board defaults to 0 and INSTR is the default class. Aliases are not resolved: anything
// that does not match the grammar is rejected. On failure `why` says what is wrong.
bool ParseResourceName(std::string_view text, ResourceName& out, std::string& why);

}  // namespace korvane::visacom
