#include "visacom/SerialTransport.h"

#include "visacom/Variants.h"
#include "visacom/VisaCom.h"

#if !defined(_WIN32)
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#endif

namespace korvane::visacom {

std::string SerialDevicePath(const ResourceName& name) {
  if (!name.devicePath.empty()) return name.devicePath;
  if (name.board < 1) return {};
  return "/dev/ttyS" + std::to_string(name.board - 1);
}

#if defined(_WIN32)

HRESULT OpenSerial(const ResourceName& name, std::unique_ptr<ITransport>&, std::string& why) {
  why = "the built-in VISA-COM provider cannot open serial ports on Windows; " + name.canonical +
        " needs a system VISA-COM library";
  return E_VISA_RSRC_NFOUND;
}

#else

namespace {

using namespace visa;

// Owns one file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

struct Speed {
  LONG baud;
  speed_t code;
};

// The rates termios can name. Others would need driver-specific divisor tricks.
constexpr Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
    {4000000, B4000000},
#endif
};

bool SpeedCode(LONGLONG baud, speed_t& code) {
  for (const Speed& s : kSpeeds)
    if (s.baud == baud) {
      code = s.code;
      return true;
    }
  return false;
}

// The line settings as VISA names them.
struct Line {
  LONG baud = 9600;
  SHORT dataBits = 8;
  SHORT parity = VI_ASRL_PAR_NONE;
  SHORT stopBits = VI_ASRL_STOP_ONE;
  SHORT flow = VI_ASRL_FLOW_NONE;
};

std::string ErrnoText(int e) { return std::strerror(e); }

// "9600 baud, 8 data bits, no parity, 1 stop bit, no flow control"
std::string Describe(const Line& l) {
  static const char* const kParity[] = {"no", "odd", "even", "mark", "space"};
  std::string flow = l.flow == 0 ? "no flow control" : "";
  if (l.flow & VI_ASRL_FLOW_XON_XOFF) flow = "XON/XOFF";
  if (l.flow & VI_ASRL_FLOW_RTS_CTS) flow += flow.empty() ? "RTS/CTS" : " and RTS/CTS";
  if (l.flow != 0) flow += " flow control";
  return std::to_string(l.baud) + " baud, " + std::to_string(l.dataBits) + " data bits, " +
         kParity[l.parity >= 0 && l.parity <= 4 ? l.parity : 0] + " parity, " +
         (l.stopBits == VI_ASRL_STOP_TWO ? "2 stop bits, " : "1 stop bit, ") + flow;
}

// Raw mode with the given framing: no echo, no line editing, no character translation either
// way, so binary blocks pass untouched. VMIN 1 makes an empty non-blocking read say EAGAIN
// (with VMIN 0 it would return 0, which could not be told apart from a hang-up).
HRESULT Apply(int fd, const Line& line, std::string& why) {
  speed_t code = B9600;
  if (!SpeedCode(line.baud, code)) {
    why = std::to_string(line.baud) + " baud is not a rate the serial driver can be set to";
    return E_VISA_NSUP_ATTR_STATE;
  }
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    why = "reading the serial port settings failed: " + ErrnoText(errno);
    return E_VISA_IO;
  }
  cfmakeraw(&t);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
  t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
  t.c_cflag |= CLOCAL | CREAD;
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[line.dataBits - 5];
  switch (line.parity) {
    case VI_ASRL_PAR_ODD: t.c_cflag |= PARENB | PARODD; break;
    case VI_ASRL_PAR_EVEN: t.c_cflag |= PARENB; break;
#ifdef CMSPAR
    case VI_ASRL_PAR_MARK: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case VI_ASRL_PAR_SPACE: t.c_cflag |= PARENB | CMSPAR; break;
#endif
    default: break;
  }
  if (line.stopBits == VI_ASRL_STOP_TWO) t.c_cflag |= CSTOPB;
  if (line.flow & VI_ASRL_FLOW_XON_XOFF) {
    t.c_iflag |= IXON | IXOFF;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
  }
  if (line.flow & VI_ASRL_FLOW_RTS_CTS) t.c_cflag |= CRTSCTS;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0) {
    why = std::to_string(line.baud) + " baud is not a rate the serial driver can be set to";
    return E_VISA_NSUP_ATTR_STATE;
  }
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    int e = errno;
    why = "the serial port cannot run at " + Describe(line) + ": " + ErrnoText(e);
    return e == EINVAL ? E_VISA_NSUP_ATTR_STATE : E_VISA_IO;
  }
  // tcsetattr succeeds when any part of the request took. A UART that cannot run at the rate
  // keeps another one, which would garble every byte: check it. The framing bits are not
  // compared, because pseudo-terminals report their own fixed framing back.
  termios now{};
  if (tcgetattr(fd, &now) == 0 && cfgetospeed(&now) != code) {
    why = "the serial port does not run at " + std::to_string(line.baud) + " baud";
    return E_VISA_NSUP_ATTR_STATE;
  }
  return S_OK;
}

// Waits until the port can be read (or written); S_OK, E_VISA_TMO or E_VISA_IO.
HRESULT WaitReady(int fd, bool forWrite, const CDeadline& deadline, std::string& why) {
  for (;;) {
    pollfd p{fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    int r = poll(&p, 1, deadline.RemainingMs());
    if (r > 0) return S_OK;  // readiness or a hang-up: the next read or write tells which
    if (r == 0) return E_VISA_TMO;
    if (errno == EINTR) continue;
    why = "waiting on the serial port failed: " + ErrnoText(errno);
    return E_VISA_IO;
  }
}

// An error of a read or write: a device that went away (a USB adapter pulled out, the other
// side of a pseudo-terminal closed) is a lost connection, anything else an I/O error.
HRESULT TransferError(int e, const char* what, std::string& why) {
  if (e == EIO || e == ENXIO || e == ENODEV) {
    why = std::string("the serial device is gone (") + what + " failed: " + ErrnoText(e) + ")";
    return E_VISA_CONN_LOST;
  }
  why = std::string(what) + " on the serial port failed: " + ErrnoText(e);
  return E_VISA_IO;
}

class CSerialTransport final : public ITransport {
 public:
  explicit CSerialTransport(Fd fd) : fd_(std::move(fd)) {}

  HRESULT Configure(std::string& why) { return Apply(fd_.get(), line_, why); }

  HRESULT Send(const BYTE* data, std::size_t n, bool, const CDeadline& deadline, std::size_t& sent,
               std::string& why) override {
    sent = 0;
    while (sent < n) {
      ssize_t r = ::write(fd_.get(), data + sent, std::min<std::size_t>(n - sent, SSIZE_MAX));
      if (r > 0) {
        sent += static_cast<std::size_t>(r);
        continue;
      }
      int e = r < 0 ? errno : EAGAIN;
      if (e == EINTR) continue;
      if (e != EAGAIN && e != EWOULDBLOCK) return TransferError(e, "write", why);
      // Output queue full, typically held back by flow control.
      HRESULT hr = WaitReady(fd_.get(), true, deadline, why);
      if (hr == E_VISA_TMO) why = "timeout expired before the write completed";
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }

  HRESULT Receive(BYTE* data, std::size_t n, const CDeadline& deadline, std::size_t& got, bool& end,
                  std::string& why) override {
    got = 0;
    end = false;
    for (;;) {
      ssize_t r = ::read(fd_.get(), data, std::min<std::size_t>(n, SSIZE_MAX));
      if (r > 0) {
        got = static_cast<std::size_t>(r);
        return S_OK;
      }
      if (r == 0) {
        why = "the serial device is gone (it hung up)";
        return E_VISA_CONN_LOST;
      }
      int e = errno;
      if (e == EINTR) continue;
      if (e != EAGAIN && e != EWOULDBLOCK) return TransferError(e, "read", why);
      HRESULT hr = WaitReady(fd_.get(), false, deadline, why);
      if (hr == E_VISA_TMO) why = "timeout expired before the read completed";
      if (FAILED(hr)) return hr;
    }
  }

  // A serial line has no END mark: the session ends messages with the termination character.
  bool SignalsEnd() const override { return false; }

  // A serial line has no device clear message either. Dropping what the instrument already
  // sent keeps a stale reply from being taken for the next one; output not yet on the wire
  // belonged to the transfer being abandoned.
  HRESULT Clear(const CDeadline&, std::string& why) override {
    if (tcflush(fd_.get(), TCIOFLUSH) != 0) {
      why = "discarding the serial port buffers failed: " + ErrnoText(errno);
      return E_VISA_IO;
    }
    return S_OK;
  }

  HRESULT GetAttribute(LONG id, VARIANT* v) override {
    if (id == VI_ATTR_ASRL_BAUD) return PutLong(v, line_.baud);
    if (id == VI_ATTR_ASRL_DATA_BITS) return PutShort(v, line_.dataBits);
    if (id == VI_ATTR_ASRL_PARITY) return PutShort(v, line_.parity);
    if (id == VI_ATTR_ASRL_STOP_BITS) return PutShort(v, line_.stopBits);
    if (id == VI_ATTR_ASRL_FLOW_CNTRL) return PutShort(v, line_.flow);
    return E_NOTIMPL;
  }

  HRESULT SetAttribute(LONG id, LONGLONG value, std::string& why) override {
    Line next = line_;
    auto bad = [&](const std::string& what) {
      why = "value " + std::to_string(value) + " is not valid for " + what;
      return E_VISA_NSUP_ATTR_STATE;
    };
    if (id == VI_ATTR_ASRL_BAUD) {
      speed_t code;
      if (!SpeedCode(value, code))
        return bad("the baud rate: the serial driver takes standard rates from 50 to 4000000 only");
      next.baud = static_cast<LONG>(value);
    } else if (id == VI_ATTR_ASRL_DATA_BITS) {
      if (value < 5 || value > 8) return bad("the data bits (5 to 8)");
      next.dataBits = static_cast<SHORT>(value);
    } else if (id == VI_ATTR_ASRL_PARITY) {
      bool ok = value == VI_ASRL_PAR_NONE || value == VI_ASRL_PAR_ODD || value == VI_ASRL_PAR_EVEN;
#ifdef CMSPAR
      ok = ok || value == VI_ASRL_PAR_MARK || value == VI_ASRL_PAR_SPACE;
#endif
      if (!ok) return bad("the parity on this system");
      next.parity = static_cast<SHORT>(value);
    } else if (id == VI_ATTR_ASRL_STOP_BITS) {
      // One and a half stop bits exist only with 5 data bits on some UARTs; termios cannot ask for them.
      if (value != VI_ASRL_STOP_ONE && value != VI_ASRL_STOP_TWO) return bad("the stop bits (10 for one, 20 for two)");
      next.stopBits = static_cast<SHORT>(value);
    } else if (id == VI_ATTR_ASRL_FLOW_CNTRL) {
      // DTR/DSR handshaking has no termios switch.
      if (value < 0 || (value & ~LONGLONG{VI_ASRL_FLOW_XON_XOFF | VI_ASRL_FLOW_RTS_CTS}) != 0)
        return bad("the flow control (none, XON/XOFF, RTS/CTS or both)");
      next.flow = static_cast<SHORT>(value);
    } else {
      return E_NOTIMPL;
    }
    HRESULT hr = Apply(fd_.get(), next, why);
    if (FAILED(hr)) {
      std::string ignored;
      Apply(fd_.get(), line_, ignored);  // the line keeps its previous settings
      return hr;
    }
    line_ = next;
    return S_OK;
  }

 private:
  Fd fd_;
  Line line_;
};

}  // namespace

HRESULT OpenSerial(const ResourceName& name, std::unique_ptr<ITransport>& out, std::string& why) {
  std::string path = SerialDevicePath(name);
  if (path.empty()) {
    why =
        "there is no serial port 0: ASRL1 is the first port (/dev/ttyS0); other devices are named by path, "
        "as in ASRL/dev/ttyUSB0::INSTR";
    return E_VISA_RSRC_NFOUND;
  }
  // Non-blocking, so that neither the open (waiting for carrier) nor any transfer can outlast
  // its timeout; the port must not become the process's controlling terminal.
  Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    int e = errno;
    why = "the serial port " + path + " cannot be opened: " + ErrnoText(e);
    if (e == EACCES || e == EPERM) why += " (the user needs read and write access to the device)";
    return e == EBUSY ? E_VISA_RSRC_BUSY : E_VISA_RSRC_NFOUND;
  }
  if (!isatty(fd.get())) {
    why = path + " is not a serial port";
    return E_VISA_RSRC_NFOUND;
  }
  auto transport = std::make_unique<CSerialTransport>(std::move(fd));
  HRESULT hr = transport->Configure(why);
  if (FAILED(hr)) {
    why = "the serial port " + path + " cannot be configured: " + why;
    return hr == E_VISA_NSUP_ATTR_STATE ? E_VISA_RSRC_NFOUND : hr;
  }
  out = std::move(transport);
  return S_OK;
}

#endif

}  // namespace korvane::visacom
