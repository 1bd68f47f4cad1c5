// The USBTMC transport through its device seam, with a double in place of /dev/usbtmcN, and
// the sysfs lookup against a made-up class directory. Neither needs USB hardware.
#include "visacom/UsbtmcTransport.h"
#include "visacom/VisaCom.h"

#include <gtest/gtest.h>

#include <linux/usb/tmc.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace korvane::visacom::testing {
namespace {

// Answers like the reworked kernel driver: one transfer per read(), its EOM bit through
// MSG_IN_ATTR; the settings the transport makes are recorded.
struct FakeUsbtmc final : IUsbtmcDevice {
  struct Transfer {
    std::string data;
    bool eom;
    long error = 0;
  };
  std::deque<Transfer>* reads;
  std::vector<std::pair<std::string, bool>>* writes;  // data, EOM at the time
  std::map<unsigned long, int>* calls;
  std::map<unsigned long, int> failures;  // ioctl -> -errno
  bool eom = true, lastEom = false;
  unsigned timeout = 5000;
  BYTE stb = 0;
  std::deque<BYTE> srqs;  // notifications the driver has latched

  long Read(void* data, std::size_t n) override {
    if (reads->empty()) return -ETIMEDOUT;
    Transfer t = reads->front();
    reads->pop_front();
    if (t.error) return t.error;
    std::size_t k = std::min(n, t.data.size());
    std::memcpy(data, t.data.data(), k);
    lastEom = t.eom && k == t.data.size();
    if (k < t.data.size()) reads->push_front({t.data.substr(k), t.eom});
    return static_cast<long>(k);
  }
  long Write(const void* data, std::size_t n) override {
    writes->push_back({std::string(static_cast<const char*>(data), n), eom});
    return static_cast<long>(n);
  }
  int Ioctl(unsigned long request, void* arg) override {
    ++(*calls)[request];
    if (auto f = failures.find(request); f != failures.end()) return f->second;
    if (request == USBTMC_IOCTL_API_VERSION) *static_cast<__u32*>(arg) = 3;
    if (request == USBTMC_IOCTL_EOM_ENABLE) eom = *static_cast<__u8*>(arg) != 0;
    if (request == USBTMC_IOCTL_SET_TIMEOUT) timeout = *static_cast<__u32*>(arg);
    if (request == USBTMC_IOCTL_MSG_IN_ATTR) *static_cast<__u8*>(arg) = lastEom ? 1 : 0;
    if (request == USBTMC488_IOCTL_READ_STB) *static_cast<__u8*>(arg) = stb;
    if (request == USBTMC488_IOCTL_WAIT_SRQ) return srqs.empty() ? -ETIMEDOUT : 0;
    if (request == USBTMC_IOCTL_GET_SRQ_STB) {
      if (srqs.empty()) return -ENOMSG;
      *static_cast<__u8*>(arg) = srqs.front();
      srqs.pop_front();
    }
    return 0;
  }
};

struct UsbtmcTest : ::testing::Test {
  std::deque<FakeUsbtmc::Transfer> reads;
  std::vector<std::pair<std::string, bool>> writes;
  std::map<unsigned long, int> calls;
  FakeUsbtmc* fake = nullptr;
  std::unique_ptr<ITransport> t;

  void SetUp() override {
    auto dev = std::make_unique<FakeUsbtmc>();
    dev->reads = &reads;
    dev->writes = &writes;
    dev->calls = &calls;
    fake = dev.get();
    t = MakeUsbtmcTransport(std::move(dev));
  }
  std::string ReadMessage(HRESULT& hr, std::string& why, std::size_t chunk = 64) {
    std::string out;
    for (bool end = false; !end;) {
      std::vector<BYTE> buf(chunk);
      std::size_t got = 0;
      hr = t->Receive(buf.data(), buf.size(), CDeadline::After(2000), got, end, why);
      if (FAILED(hr)) break;
      out.append(reinterpret_cast<char*>(buf.data()), got);
    }
    return out;
  }
};

TEST_F(UsbtmcTest, EndGoesOutAsEomAndReadsLoopToTheEomTransfer) {
  std::string why;
  std::size_t sent = 0;
  ASSERT_EQ(t->Send(reinterpret_cast<const BYTE*>(":WAV:DATA"), 9, false, CDeadline::After(1000), sent, why), S_OK);
  ASSERT_EQ(t->Send(reinterpret_cast<const BYTE*>("?\n"), 2, true, CDeadline::After(1000), sent, why), S_OK);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_FALSE(writes[0].second);  // no EOM before the last piece of the message
  EXPECT_TRUE(writes[1].second);
  EXPECT_GE(fake->timeout, 100u);  // the driver refuses less than 100 ms
  reads = {{"#15abc", false}, {"de\n", true}};
  HRESULT hr;
  EXPECT_EQ(ReadMessage(hr, why, 4), "#15abcde\n");  // a transfer larger than the buffer, too
  EXPECT_EQ(hr, S_OK) << why;
  t->SetReadTermination('\n');
  reads = {{"1\n", true}};
  EXPECT_EQ(ReadMessage(hr, why), "1\n");
  EXPECT_EQ(calls[USBTMC_IOCTL_CONFIG_TERMCHAR], 1);
}

TEST_F(UsbtmcTest, ClearStatusByteAndTriggerUseTheDriversRequests) {
  std::string why;
  fake->stb = 0x50;
  BYTE stb = 0;
  ASSERT_EQ(t->ReadStatusByte(CDeadline::After(1000), stb, why), S_OK) << why;
  EXPECT_EQ(stb, 0x50);
  EXPECT_EQ(t->Clear(CDeadline::After(1000), why), S_OK);
  EXPECT_EQ(t->Trigger(CDeadline::After(1000), why), S_OK);
  EXPECT_EQ(t->ControlRen(5, CDeadline::After(1000), why), S_OK);
  EXPECT_EQ(calls[USBTMC_IOCTL_CLEAR], 1);
  EXPECT_EQ(calls[USBTMC488_IOCTL_TRIGGER], 1);
  EXPECT_EQ(calls[USBTMC488_IOCTL_LOCAL_LOCKOUT], 1);
  // An instrument without the USB488 subclass: the session falls back to *STB? and *TRG.
  fake->failures[USBTMC488_IOCTL_READ_STB] = -EPERM;
  fake->failures[USBTMC488_IOCTL_TRIGGER] = -EPERM;
  EXPECT_EQ(t->ReadStatusByte(CDeadline::After(1000), stb, why), E_NOTIMPL);
  EXPECT_EQ(t->Trigger(CDeadline::After(1000), why), E_NOTIMPL);
}

TEST_F(UsbtmcTest, DriverErrorsBecomeVisaStatus) {
  struct Case {
    long error;
    HRESULT hr;
  } cases[] = {{-ETIMEDOUT, E_VISA_TMO}, {-ENODEV, E_VISA_CONN_LOST}, {-EIO, E_VISA_IO}};
  for (const Case& c : cases) {
    reads = {{"", false, c.error}};
    std::string why;
    HRESULT hr;
    ReadMessage(hr, why);
    EXPECT_EQ(hr, c.hr) << why;
    EXPECT_FALSE(why.empty());
  }
  fake->failures[USBTMC_IOCTL_CLEAR] = -ETIMEDOUT;
  std::string why;
  EXPECT_EQ(t->Clear(CDeadline::After(1000), why), E_VISA_TMO);
}

// Service requests come from the driver's latch; a driver without the request has none.
TEST_F(UsbtmcTest, ServiceRequestsComeFromTheDriversLatch) {
  bool raised = true;
  BYTE stb = 0;
  std::string why;
  EXPECT_EQ(t->AwaitServiceRequest(CDeadline::After(50), raised, stb, why), S_OK) << why;
  EXPECT_FALSE(raised);
  EXPECT_EQ(calls[USBTMC488_IOCTL_WAIT_SRQ], 1);
  fake->srqs = {0x41, 0x61};
  for (BYTE want : {0x41, 0x61}) {
    ASSERT_EQ(t->AwaitServiceRequest(CDeadline::After(50), raised, stb, why), S_OK) << why;
    EXPECT_TRUE(raised);
    EXPECT_EQ(stb, want);
  }
  fake->failures[USBTMC_IOCTL_GET_SRQ_STB] = -EIO;
  EXPECT_EQ(t->TakeServiceRequest(raised, stb, why), E_VISA_IO);
  EXPECT_NE(why.find("service request"), std::string::npos) << why;
  fake->failures[USBTMC_IOCTL_GET_SRQ_STB] = -ENOTTY;
  EXPECT_EQ(t->TakeServiceRequest(raised, stb, why), E_NOTIMPL);
}

TEST(UsbtmcLookup, FindsTheNodeByIdsSerialAndInterface) {
  namespace fs = std::filesystem;
  fs::path root = fs::path(::testing::TempDir()) / "korvane-usbtmc-sysfs";
  fs::remove_all(root);
  auto device = [&](const std::string& dev, const char* vid, const char* pid, const char* serial) {
    fs::create_directories(root / "devices" / dev);
    std::ofstream(root / "devices" / dev / "idVendor") << vid << "\n";
    std::ofstream(root / "devices" / dev / "idProduct") << pid << "\n";
    std::ofstream(root / "devices" / dev / "serial") << serial << "\n";
  };
  auto node = [&](const std::string& name, const std::string& dev, const char* intf) {
    fs::path i = root / "devices" / dev / (dev + ":1." + intf);
    fs::create_directories(i);
    std::ofstream(i / "bInterfaceNumber") << intf << "\n";
    fs::create_directories(root / "class" / name);
    fs::create_directory_symlink(i, root / "class" / name / "device");
  };
  device("1-1", "5a17", "0c01", "VT0001");
  device("1-2", "5a17", "0c01", "VT0002");
  node("usbtmc0", "1-1", "00");
  node("usbtmc1", "1-2", "00");
  node("usbtmc2", "1-2", "01");
  std::string found, why;
  const std::string dir = (root / "class").string();
  ASSERT_TRUE(FindUsbtmcNode(dir, 0x5A17, 0x0C01, "vt0002", -1, found, why)) << why;
  EXPECT_EQ(found, "/dev/usbtmc1");
  ASSERT_TRUE(FindUsbtmcNode(dir, 0x5A17, 0x0C01, "VT0002", 1, found, why)) << why;
  EXPECT_EQ(found, "/dev/usbtmc2");
  EXPECT_FALSE(FindUsbtmcNode(dir, 0x5A17, 0x0C02, "VT0002", -1, found, why));
  EXPECT_NE(why.find("no instrument"), std::string::npos);
  EXPECT_FALSE(FindUsbtmcNode((root / "none").string(), 0x5A17, 0x0C01, "VT0002", -1, found, why));
  EXPECT_NE(why.find("not loaded"), std::string::npos) << why;
  fs::remove_all(root);
}

}  // namespace
}  // namespace korvane::visacom::testing
