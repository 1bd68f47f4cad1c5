// USB INSTR through the Linux kernel's usbtmc driver (/dev/usbtmcN): the driver does the
// USBTMC framing; we find the node from the device's identity in sysfs and use its ioctls for
// END, clear, status byte, trigger and remote/local.
#pragma once

#include "visacom/ResourceName.h"
#include "visacom/Transport.h"

#include <cstddef>
#include <memory>
#include <string>

namespace korvane::visacom {

// Opens the usbtmc node of the resource. Failures: E_VISA_RSRC_NFOUND (no such device bound to
// the driver, or no permission on its node).
HRESULT OpenUsbtmc(const ResourceName& name, std::unique_ptr<ITransport>& out, std::string& why);

// The character device as the transport uses it; the real node is one, tests give a double.
// Each call returns the byte count or 0, or a negative errno.
class IUsbtmcDevice {
 public:
  virtual ~IUsbtmcDevice() = default;
  virtual long Read(void* data, std::size_t n) = 0;
  virtual long Write(const void* data, std::size_t n) = 0;
  virtual int Ioctl(unsigned long request, void* arg) = 0;
};

// The node ("/dev/usbtmcN") whose USB device has these ids, below a sysfs class directory
// (normally /sys/class/usbmisc). interfaceNumber -1 takes any interface.
bool FindUsbtmcNode(const std::string& classDir, std::uint16_t vendor, std::uint16_t model, const std::string& serial,
                    int interfaceNumber, std::string& node, std::string& why);

std::unique_ptr<ITransport> MakeUsbtmcTransport(std::unique_ptr<IUsbtmcDevice> device);

}  // namespace korvane::visacom
