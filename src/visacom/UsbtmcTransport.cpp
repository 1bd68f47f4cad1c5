#include "visacom/UsbtmcTransport.h"
#include "base/StringUtil.h"

#include "visacom/VisaCom.h"

#if defined(__linux__)
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/usb/tmc.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>
#endif

namespace korvane::visacom {

#if !defined(__linux__)

HRESULT OpenUsbtmc(const ResourceName&, std::unique_ptr<ITransport>&, std::string& why) {
  why = "USB instruments are reached through the installed VISA library on this system";
  return E_VISA_RSRC_NFOUND;
}
bool FindUsbtmcNode(const std::string&, std::uint16_t, std::uint16_t, const std::string&, int, std::string&,
                    std::string& why) {
  why = "no usbtmc driver on this system";
  return false;
}
std::unique_ptr<ITransport> MakeUsbtmcTransport(std::unique_ptr<IUsbtmcDevice>) { return nullptr; }

#else

namespace {

namespace fs = std::filesystem;

class CNodeDevice final : public IUsbtmcDevice {
 public:
  explicit CNodeDevice(int fd) : fd_(fd) {}
  ~CNodeDevice() override { ::close(fd_); }
  long Read(void* data, std::size_t n) override {
    for (;;) {
      ssize_t r = ::read(fd_, data, n);
      if (r >= 0 || errno != EINTR) return r >= 0 ? static_cast<long>(r) : -errno;
    }
  }
  long Write(const void* data, std::size_t n) override {
    for (;;) {
      ssize_t r = ::write(fd_, data, n);
      if (r >= 0 || errno != EINTR) return r >= 0 ? static_cast<long>(r) : -errno;
    }
  }
  int Ioctl(unsigned long request, void* arg) override { return ::ioctl(fd_, request, arg) < 0 ? -errno : 0; }

 private:
  int fd_;
};

HRESULT Errno(long e, const char* what, std::string& why) {
  int code = static_cast<int>(-e);
  why = std::string(what) + " failed: " + std::strerror(code);
  if (code == ETIMEDOUT) return E_VISA_TMO;
  if (code == ENODEV || code == ESHUTDOWN || code == EPIPE) {
    why = "the USB instrument was disconnected";
    return E_VISA_CONN_LOST;
  }
  return E_VISA_IO;
}

class CUsbtmcTransport final : public ITransport {
 public:
  explicit CUsbtmcTransport(std::unique_ptr<IUsbtmcDevice> dev) : dev_(std::move(dev)) {
    __u32 version = 0;
    // The reworked driver (API 1 and later) reads one transfer per read() and reports its EOM
    // bit; the old one looped to EOM itself and knows neither ioctl.
    if (dev_->Ioctl(USBTMC_IOCTL_API_VERSION, &version) == 0) api_ = static_cast<int>(version);
  }

  HRESULT Send(const BYTE* data, std::size_t n, bool end, const CDeadline& deadline, std::size_t& sent,
               std::string& why) override {
    sent = 0;
    if (api_ >= 0 && end != eom_) {
      __u8 on = end ? 1 : 0;
      if (long e = dev_->Ioctl(USBTMC_IOCTL_EOM_ENABLE, &on); e < 0) return Errno(e, "setting EOM", why);
      eom_ = end;
    }
    if (HRESULT hr = ApplyTimeout(deadline, why); FAILED(hr)) return hr;
    while (sent < n || n == 0) {
      long r = dev_->Write(data + sent, n - sent);
      if (r < 0) return Errno(r, "writing to the USB instrument", why);
      sent += static_cast<std::size_t>(r);
      if (n == 0 || r == 0) break;
    }
    return S_OK;
  }

  HRESULT Receive(BYTE* data, std::size_t n, const CDeadline& deadline, std::size_t& got, bool& end,
                  std::string& why) override {
    got = 0;
    end = false;
    if (HRESULT hr = ApplyTimeout(deadline, why); FAILED(hr)) return hr;
    if (term_ != appliedTerm_ && api_ >= 0) {
      usbtmc_termchar tc{static_cast<__u8>(term_ < 0 ? '\n' : term_), static_cast<__u8>(term_ >= 0)};
      // Devices without TermChar support refuse this; the session still stops on the character.
      dev_->Ioctl(USBTMC_IOCTL_CONFIG_TERMCHAR, &tc);
      appliedTerm_ = term_;
    }
    long r = dev_->Read(data, std::min<std::size_t>(n, 1u << 30));
    if (r < 0) return Errno(r, "reading from the USB instrument", why);
    got = static_cast<std::size_t>(r);
    __u8 attr = 0;
    if (api_ >= 0 && dev_->Ioctl(USBTMC_IOCTL_MSG_IN_ATTR, &attr) == 0) end = (attr & 1) != 0;
    else end = got < n;        // the old driver reads to EOM, so a short read is the end
    if (got == 0) end = true;  // an empty transfer ends an empty message
    return S_OK;
  }

  bool SignalsEnd() const override { return true; }

  HRESULT Clear(const CDeadline& deadline, std::string& why) override {
    if (HRESULT hr = ApplyTimeout(deadline, why); FAILED(hr)) return hr;
    long e = dev_->Ioctl(USBTMC_IOCTL_CLEAR, nullptr);
    return e < 0 ? Errno(e, "device clear", why) : S_OK;
  }

  // Instruments without the USB488 subclass have no status byte request: the session asks *STB?.
  HRESULT ReadStatusByte(const CDeadline& deadline, BYTE& stb, std::string& why) override {
    if (HRESULT hr = ApplyTimeout(deadline, why); FAILED(hr)) return hr;
    __u8 value = 0;
    long e = dev_->Ioctl(USBTMC488_IOCTL_READ_STB, &value);
    if (e == -EPERM || e == -EINVAL || e == -EBADRQC || e == -ENOTTY) return E_NOTIMPL;
    if (e < 0) return Errno(e, "reading the status byte", why);
    stb = value;
    return S_OK;
  }

  HRESULT Trigger(const CDeadline& deadline, std::string& why) override {
    if (HRESULT hr = ApplyTimeout(deadline, why); FAILED(hr)) return hr;
    long e = dev_->Ioctl(USBTMC488_IOCTL_TRIGGER, nullptr);
    if (e == -EPERM || e == -EINVAL || e == -EBADRQC || e == -ENOTTY) return E_NOTIMPL;
    return e < 0 ? Errno(e, "trigger", why) : S_OK;
  }

  void SetReadTermination(int term) override { term_ = term; }

  // The driver latches the status byte of an SRQ notification from the interrupt endpoint;
  // drivers from before that request, and devices without the endpoint, have no service requests.
  HRESULT TakeServiceRequest(bool& raised, BYTE& stb, std::string& why) override {
    raised = false;
    __u8 value = 0;
    long e = dev_->Ioctl(USBTMC_IOCTL_GET_SRQ_STB, &value);
    if (e == -ENOMSG || e == -ENODATA) return S_OK;  // none latched
    if (e == -EPERM || e == -EINVAL || e == -EBADRQC || e == -ENOTTY) return E_NOTIMPL;
    if (e < 0) return Errno(e, "taking a service request", why);
    raised = true;
    stb = value;
    return S_OK;
  }

  HRESULT AwaitServiceRequest(const CDeadline& deadline, bool& raised, BYTE& stb, std::string& why) override {
    HRESULT hr = TakeServiceRequest(raised, stb, why);
    if (hr != S_OK || raised) return hr;
    int ms = deadline.RemainingMs();
    if (ms == 0) return S_OK;
    __u32 wait = ms < 0 ? 0x7FFFFFFFu : static_cast<__u32>(ms);
    long e = dev_->Ioctl(USBTMC488_IOCTL_WAIT_SRQ, &wait);
    if (e == -ETIMEDOUT) return S_OK;
    if (e < 0) return Errno(e, "waiting for a service request", why);
    return TakeServiceRequest(raised, stb, why);
  }

  // The driver's own wait: it takes no lock of ours and may run beside transfers.
  bool AwaitServiceSignal(int timeoutMs) override {
    __u32 wait = timeoutMs < 0 ? 0x7FFFFFFFu : static_cast<__u32>(timeoutMs);
    return dev_->Ioctl(USBTMC488_IOCTL_WAIT_SRQ, &wait) == 0;
  }

  HRESULT ControlRen(int mode, const CDeadline& deadline, std::string& why) override {
    if (mode < 0 || mode > 6) {
      why = "remote/local mode " + std::to_string(mode) + " is not one of 0 to 6";
      return E_VISA_INV_PARAMETER;
    }
    if (HRESULT hr = ApplyTimeout(deadline, why); FAILED(hr)) return hr;
    // VI_GPIB_REN_*: 0 deassert, 1 assert, 2 deassert and go to local, 3 assert and address,
    // 4 local lockout, 5 assert, address and lockout, 6 go to local.
    __u8 ren = (mode == 0 || mode == 2) ? 0 : 1;
    long e = 0;
    if (mode != 6) e = dev_->Ioctl(USBTMC488_IOCTL_REN_CONTROL, &ren);
    if (e == 0 && (mode == 2 || mode == 6)) e = dev_->Ioctl(USBTMC488_IOCTL_GOTO_LOCAL, nullptr);
    if (e == 0 && (mode == 4 || mode == 5)) e = dev_->Ioctl(USBTMC488_IOCTL_LOCAL_LOCKOUT, nullptr);
    return e < 0 ? Errno(e, "remote/local control", why) : S_OK;
  }

 private:
  // The driver times each transfer itself; it takes no less than 100 ms.
  HRESULT ApplyTimeout(const CDeadline& deadline, std::string& why) {
    if (api_ < 0) return S_OK;  // the old driver's timeout is fixed
    int ms = deadline.RemainingMs();
    __u32 value = ms < 0 ? 0x7FFFFFFFu : static_cast<__u32>(std::max(ms, 100));
    if (value == appliedTimeout_) return S_OK;
    if (long e = dev_->Ioctl(USBTMC_IOCTL_SET_TIMEOUT, &value); e < 0) return Errno(e, "setting the timeout", why);
    appliedTimeout_ = value;
    return S_OK;
  }

  std::unique_ptr<IUsbtmcDevice> dev_;
  int api_ = -1;
  bool eom_ = true;  // the driver's default
  int term_ = -1;
  int appliedTerm_ = -1;
  __u32 appliedTimeout_ = 0;
};

bool ReadHex(const fs::path& file, unsigned long& value) {
  std::ifstream in(file);
  std::string text;
  if (!(in >> text)) return false;
  char* end = nullptr;
  value = std::strtoul(text.c_str(), &end, 16);
  return end && *end == '\0';
}

std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string text;
  std::getline(in, text);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

bool FindUsbtmcNode(const std::string& classDir, std::uint16_t vendor, std::uint16_t model, const std::string& serial,
                    int interfaceNumber, std::string& node, std::string& why) {
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(classDir, ec)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("usbtmc", 0) == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    fs::path intf = fs::canonical(fs::path(classDir) / name / "device", ec);  // the USB interface
    if (ec) continue;
    fs::path dev = intf.parent_path();  // the USB device
    unsigned long vid = 0, pid = 0, number = 0;
    if (!ReadHex(dev / "idVendor", vid) || !ReadHex(dev / "idProduct", pid)) continue;
    if (vid != vendor || pid != model || !EqualsNoCase(ReadLine(dev / "serial"), serial)) continue;
    if (interfaceNumber >= 0 &&
        (!ReadHex(intf / "bInterfaceNumber", number) || static_cast<int>(number) != interfaceNumber))
      continue;
    node = "/dev/" + name;
    return true;
  }
  why = ec && names.empty() ? "the usbtmc driver is not loaded (" + classDir + " is missing)"
                            : "no instrument with these ids and serial number is bound to the usbtmc driver";
  return false;
}

std::unique_ptr<ITransport> MakeUsbtmcTransport(std::unique_ptr<IUsbtmcDevice> device) {
  return std::make_unique<CUsbtmcTransport>(std::move(device));
}

HRESULT OpenUsbtmc(const ResourceName& name, std::unique_ptr<ITransport>& out, std::string& why) {
  std::string node;
  if (!FindUsbtmcNode("/sys/class/usbmisc", name.usbVendor, name.usbModel, name.usbSerial, name.usbInterface, node,
                      why))
    return E_VISA_RSRC_NFOUND;
  int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    why = node + " cannot be opened: " + std::strerror(e) +
          (e == EACCES ? " (a udev rule must give this user access to the node)" : "");
    return E_VISA_RSRC_NFOUND;
  }
  out = MakeUsbtmcTransport(std::make_unique<CNodeDevice>(fd));
  return S_OK;
}

#endif

}  // namespace korvane::visacom
