// Our VXI-11 and HiSLIP clients against the simulator's front ends, through the built-in
// VISA-COM provider as the driver uses it, and through the transports where a second client
// has to compete for the instrument.
#include "visacom/HislipTransport.h"
#include "visacom/MessageSession.h"
#include "visacom/UsbtmcTransport.h"
#include "platform/ComObject.h"
#include "io/BuiltInProvider.h"
#include "visacom/VisaCom.h"
#include "visacom/Vxi11Transport.h"
#include "visacom/Vxi11Wire.h"

#include <korvane/ComHelpers.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/usb/tmc.h>
#include <sys/ioctl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <condition_variable>
#include <mutex>
#include <memory>
#include <string>
#include <thread>

#include "support/SimProcess.h"

using namespace korvane;
using namespace korvane::visacom;
using korvane::sim::test::SimProcess;

// One simulator for every test of this program: only one VXI-11 server can be registered with
// the portmapper at a time.
SimProcess& korvane::sim::test::TransportSim() {
  static SimProcess sim({"--port", "0", "--vxi11", "--hislip-port", "0", "--signal", "1:sine:1e3:0.4"}, 4);
  return sim;
}

SimProcess& korvane::sim::test::OverlappedSim() {
  static SimProcess sim({"--port", "0", "--hislip-port", "0", "--hislip-overlapped"}, 2);
  return sim;
}

namespace {

using korvane::sim::test::OverlappedSim;

std::string ErrorText() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Receive()) != S_OK || !info) return {};
  Bstr text;
  info->GetDescription(text.Receive());
  return text.Narrow();
}

SimProcess& Sim() { return korvane::sim::test::TransportSim(); }

std::string HislipResource(SimProcess& sim = Sim()) {
  return "TCPIP0::127.0.0.1::hislip0," + std::to_string(sim.announcedPort("hislip ")) + "::INSTR";
}
const char* const kVxi11Resource = "TCPIP0::127.0.0.1::inst0::INSTR";

class FrontEnd : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_GT(Sim().announcedPort("vxi11 "), 0) << Sim().firstLine();
    ASSERT_GT(Sim().announcedPort("hislip "), 0) << Sim().firstLine();
    // Without our registration "inst0" would reach whichever VXI-11 server holds port 111.
    if (std::string(GetParam()) == "vxi11" && Sim().announced("vxi11 portmapper: ").rfind("none", 0) == 0)
      GTEST_SKIP() << "port 111 is not usable here: " << Sim().announced("vxi11 portmapper: ");
    ASSERT_EQ(korvane::RegisterBuiltInProvider(), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_VisaComGlobalResourceManager, nullptr, KORVANE_VISACOM_CLSCTX,
                               IID_IResourceManager, rm_.ReceiveVoid()),
              S_OK);
  }
  std::string Resource() const {
    const std::string kind = GetParam();
    if (kind == "hislip-overlapped") return HislipResource(OverlappedSim());
    return kind == "vxi11" ? kVxi11Resource : HislipResource();
  }
  bool Overlapped() const { return std::string(GetParam()) == "hislip-overlapped"; }

  ComPtr<IMessage> Open(LONG timeoutMs = 5000) {
    ComPtr<IVisaSession> session;
    HRESULT hr = rm_->Open(Bstr(Resource()), NO_LOCK, 2000, Bstr(std::string_view{}), session.Receive());
    EXPECT_EQ(hr, S_OK) << ErrorText();
    ComPtr<IMessage> m;
    if (FAILED(hr) || FAILED(session.As(m))) return {};
    EXPECT_EQ(m->put_Timeout(timeoutMs), S_OK);
    return m;
  }
  static std::string Query(IMessage* m, const std::string& q, LONG count = 4096) {
    LONG n = 0;
    EXPECT_EQ(m->WriteString(Bstr(q), &n), S_OK) << ErrorText();
    Bstr reply;
    HRESULT hr = m->ReadString(count, reply.Receive());
    EXPECT_TRUE(SUCCEEDED(hr)) << ErrorText();
    return reply.Narrow();
  }

  ComInit com_;
  ComPtr<IResourceManager> rm_;
};

TEST_P(FrontEnd, IdentifiesAndReadsAMillionPointBlockInOneRead) {
  ComPtr<IMessage> m = Open(20000);
  ASSERT_TRUE(m);
  EXPECT_EQ(Query(m.get(), "*IDN?").rfind("Veltrane Instruments,", 0), 0u);
  LONG n = 0;
  ASSERT_EQ(m->WriteString(Bstr(":WAV:SOUR CHAN1;:WAV:FORM WORD;:WAV:POIN 1000000;:DIG"), &n), S_OK);
  ASSERT_EQ(m->WriteString(Bstr(":WAV:DATA?"), &n), S_OK);
  SafeArrayPtr block;
  // END, not the byte count, ends the read: the block and its line feed, nothing more.
  ASSERT_EQ(m->Read(4000000, block.Receive()), S_OK) << ErrorText();
  SafeArrayAccess<BYTE> data(block.get());
  ASSERT_EQ(data.size(), 2u + 7u + 2000000u + 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.data()), 9), "#72000000");
  EXPECT_EQ(data.data()[data.size() - 1], '\n');
  EXPECT_EQ(Query(m.get(), "*OPC?"), "1\n");
}

TEST_P(FrontEnd, ClearDropsAPendingReplyAndStatusByteShowsTheEventBit) {
  ComPtr<IMessage> m = Open();
  ASSERT_TRUE(m);
  LONG n = 0;
  ASSERT_EQ(m->WriteString(Bstr("*CLS;*ESE 1;*OPC"), &n), S_OK);
  SHORT stb = 0;
  ASSERT_EQ(m->ReadSTB(&stb), S_OK) << ErrorText();
  EXPECT_EQ(stb & 0x20, 0x20) << stb;  // ESB: operation complete is enabled and set
  ASSERT_EQ(m->WriteString(Bstr("*IDN?"), &n), S_OK);
  ASSERT_EQ(m->Clear(), S_OK) << ErrorText();
  EXPECT_EQ(Query(m.get(), "*ESR?"), "1\n");  // not the identity the clear threw away
}

TEST_P(FrontEnd, ReadWithNothingToAnswerTimesOutAndLeavesTheSessionUsable) {
  ComPtr<IMessage> m = Open(300);
  ASSERT_TRUE(m);
  Bstr reply;
  EXPECT_EQ(m->ReadString(100, reply.Receive()), E_VISA_TMO);
  EXPECT_EQ(Query(m.get(), "*OPC?"), "1\n");
}

TEST_P(FrontEnd, TriggerByTheProtocolLeavesTheSessionInStep) {
  ComPtr<IMessage> m = Open();
  ASSERT_TRUE(m);
  LONG n = 0;
  ASSERT_EQ(m->WriteString(Bstr("*CLS"), &n), S_OK);
  EXPECT_EQ(m->AssertTrigger(TRIG_PROT_DEFAULT), S_OK) << ErrorText();
  EXPECT_EQ(Query(m.get(), "*OPC?"), "1\n");
}

// Queries written back to back: overlapped mode answers each in turn, synchronized mode only
// the latest (the earlier reply is not for anyone any more). Switching the mode clears.
TEST_P(FrontEnd, BackToBackQueriesFollowTheModeInForce) {
  if (std::string(GetParam()) == "vxi11") GTEST_SKIP() << "HiSLIP modes";
  ComPtr<IMessage> m = Open(1000);
  ASSERT_TRUE(m);
  VariantOwner mode;
  ASSERT_EQ(m->GetAttribute(visa::VI_ATTR_TCPIP_HISLIP_OVERLAP_EN, mode.Receive()), S_OK) << ErrorText();
  EXPECT_EQ(mode.get().boolVal != VARIANT_FALSE, Overlapped());
  for (bool overlapped : {Overlapped(), !Overlapped()}) {
    SCOPED_TRACE(overlapped ? "overlapped" : "synchronized");
    if (overlapped != Overlapped()) {
      VariantOwner want;
      want.get().vt = VT_BOOL;
      want.get().boolVal = overlapped ? VARIANT_TRUE : VARIANT_FALSE;
      ASSERT_EQ(m->SetAttribute(visa::VI_ATTR_TCPIP_HISLIP_OVERLAP_EN, want.get()), S_OK) << ErrorText();
    }
    LONG n = 0;
    ASSERT_EQ(m->WriteString(Bstr("*ESE 4"), &n), S_OK);
    ASSERT_EQ(m->WriteString(Bstr("*ESE?"), &n), S_OK);
    ASSERT_EQ(m->WriteString(Bstr("*OPC?"), &n), S_OK);
    Bstr reply;
    ASSERT_EQ(m->ReadString(100, reply.Receive()), S_OK) << ErrorText();
    EXPECT_EQ(reply.Narrow(), overlapped ? "4\n" : "1\n");
    if (overlapped) {
      ASSERT_EQ(m->ReadString(100, reply.Receive()), S_OK) << ErrorText();  // the second reply, in turn
      EXPECT_EQ(reply.Narrow(), "1\n");
    } else {
      EXPECT_EQ(m->ReadString(100, reply.Receive()), E_VISA_TMO);  // nothing else is waiting
    }
    EXPECT_EQ(Query(m.get(), "*ESE 0;*ESE?"), "0\n");
  }
}

// A service request raised by the instrument reaches a caller waiting on the session's event
// queue; the status byte read then shows why.
TEST_P(FrontEnd, ServiceRequestReachesTheEventQueue) {
  ComPtr<IMessage> m = Open(2000);
  ASSERT_TRUE(m);
  ComPtr<IEventManager> events;
  ASSERT_EQ(m.As(events), S_OK);
  ComPtr<IEvent> event;
  EXPECT_EQ(events->WaitOnEvent(100, EVENT_SERVICE_REQ, 0, event.Receive()), E_VISA_NENABLED);
  EXPECT_EQ(events->EnableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0), E_VISA_HNDLR_NINSTALLED);
  EXPECT_EQ(events->EnableEvent(EVENT_SERVICE_REQ, EVENT_SUSPEND_HNDLR, 0), E_VISA_INV_MECH);
  ASSERT_EQ(events->EnableEvent(EVENT_SERVICE_REQ, EVENT_QUEUE, 0), S_OK) << ErrorText();
  LONG n = 0;
  ASSERT_EQ(m->WriteString(Bstr("*CLS"), &n), S_OK);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(events->WaitOnEvent(150, EVENT_SERVICE_REQ, 0, event.Receive()), E_VISA_TMO);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(140));
  // Another thread raises it while we wait.
  std::thread raiser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    LONG written = 0;
    EXPECT_EQ(m->WriteString(Bstr("*SRE 32;*ESE 1;*OPC"), &written), S_OK);
  });
  HRESULT waited = events->WaitOnEvent(3000, EVENT_SERVICE_REQ, 0, event.Receive());
  raiser.join();
  ASSERT_EQ(waited, S_OK) << ErrorText();
  ASSERT_TRUE(event);
  EventType type{};
  EXPECT_EQ(event->get_Type(&type), S_OK);
  EXPECT_EQ(type, EVENT_SERVICE_REQ);
  EXPECT_EQ(event->Close(), S_OK);
  SHORT stb = 0;
  ASSERT_EQ(m->ReadSTB(&stb), S_OK) << ErrorText();
  EXPECT_EQ(stb & 0x60, 0x60) << stb;  // event summary, and the request it made
  EXPECT_EQ(events->DiscardEvents(EVENT_SERVICE_REQ, EVENT_QUEUE, 0), S_VISA_QUEUE_EMPTY);
  EXPECT_EQ(events->DisableEvent(EVENT_SERVICE_REQ, EVENT_QUEUE, 0), S_OK);
  ASSERT_EQ(m->WriteString(Bstr("*SRE 0;*ESE 0;*CLS"), &n), S_OK);
}

// Counts the service requests handed to it and keeps the last status byte.
class CSrqCounter final : public ComObject<CSrqCounter, IEventHandler> {
 public:
  HRESULT STDMETHODCALLTYPE HandleEvent(IEventManager*, IEvent* event, LONG) override {
    VARIANT v;
    VariantInit(&v);
    std::lock_guard lk(m_);
    if (event->GetAttribute(visa::VI_ATTR_KV_STATUS_BYTE, &v) == S_OK) stb_ = v.iVal;
    ++count_;
    cv_.notify_all();
    return S_OK;
  }
  // The status byte of the first request within the time, or -1.
  int Await(std::chrono::milliseconds within) {
    std::unique_lock lk(m_);
    return cv_.wait_for(lk, within, [&] { return count_ > 0; }) ? stb_ : -1;
  }
  int Count() {
    std::lock_guard lk(m_);
    return count_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int count_ = 0, stb_ = -1;
};

// The request raised through a second session of the same instrument reaches the handler of
// the first, on the driver's thread, with the status byte it had.
TEST_P(FrontEnd, HandlerGetsTheServiceRequestRaisedThroughAnotherSession) {
  ComPtr<IMessage> listener = Open(2000), raiser = Open(2000);
  ASSERT_TRUE(listener && raiser);
  LONG n = 0;
  ASSERT_EQ(raiser->WriteString(Bstr("*SRE 0;*ESE 0;*CLS"), &n), S_OK);
  ComPtr<IEventManager> events;
  ASSERT_EQ(listener.As(events), S_OK);
  ComPtr<IEventHandler> handler;
  ASSERT_EQ(CSrqCounter::Create(IID_IEventHandler, handler.ReceiveVoid()), S_OK);
  auto* counter = static_cast<CSrqCounter*>(handler.get());
  ASSERT_EQ(events->InstallHandler(EVENT_SERVICE_REQ, handler.get(), 5, 0), S_OK);
  ASSERT_EQ(events->EnableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0), S_OK) << ErrorText();
  ASSERT_EQ(raiser->WriteString(Bstr("*SRE 32;*ESE 1;*OPC"), &n), S_OK);
  const int stb = counter->Await(std::chrono::seconds(3));
  ASSERT_NE(stb, -1) << "no service request reached the handler";
  EXPECT_EQ(stb & 0x60, 0x60) << stb;
  EXPECT_EQ(Query(listener.get(), "*OPC?"), "1\n");  // the listening session stays usable
  ASSERT_EQ(raiser->WriteString(Bstr("*SRE 0;*ESE 0;*CLS"), &n), S_OK);
  EXPECT_EQ(events->UninstallHandler(EVENT_SERVICE_REQ, 5, 0), S_OK);
  EXPECT_EQ(counter->Count(), 1);
  EXPECT_EQ(listener->Close(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Transports, FrontEnd, ::testing::Values("vxi11", "hislip", "hislip-overlapped"));

// Two clients of one instrument: the exclusive lock of one keeps the other out until released.
TEST(FrontEndLocks, ExclusiveLockShutsOutASecondClientOfBothProtocols) {
  ASSERT_GT(Sim().announcedPort("hislip "), 0);
  std::string hislip = "hislip0," + std::to_string(Sim().announcedPort("hislip "));
  const bool portmapper = Sim().announced("vxi11 portmapper: ").rfind("none", 0) != 0;
  for (bool vxi : {true, false}) {
    SCOPED_TRACE(vxi ? "vxi11" : "hislip");
    if (vxi && !portmapper) continue;  // "inst0" would reach another server
    std::unique_ptr<ITransport> a, b;
    std::string why;
    auto connect = [&](std::unique_ptr<ITransport>& t) {
      return vxi ? ConnectVxi11("127.0.0.1", "inst0", CDeadline::After(2000), t, why)
                 : ConnectHislip("127.0.0.1", hislip, CDeadline::After(2000), t, why);
    };
    ASSERT_EQ(connect(a), S_OK) << why;
    ASSERT_EQ(connect(b), S_OK) << why;
    ASSERT_EQ(a->Lock(true, 1000, "", why), S_OK) << why;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(b->Lock(true, 200, "", why), E_VISA_RSRC_LOCKED) << why;
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));  // it did wait
    ASSERT_EQ(a->Unlock(why), S_OK) << why;
    EXPECT_EQ(b->Lock(true, 200, "", why), S_OK) << why;
    EXPECT_EQ(b->Unlock(why), S_OK) << why;
    EXPECT_NE(b->Unlock(why), S_OK);  // nothing left to release
  }
}

TEST(FrontEndHislip, ServiceRequestAndRemoteLocalArriveOnTheAsyncChannel) {
  std::unique_ptr<ITransport> t;
  std::string why;
  ASSERT_EQ(ConnectHislip("127.0.0.1", "hislip0," + std::to_string(Sim().announcedPort("hislip ")),
                          CDeadline::After(2000), t, why),
            S_OK)
      << why;
  EXPECT_EQ(t->ControlRen(1, CDeadline::After(1000), why), S_OK) << why;
  EXPECT_EQ(t->ControlRen(9, CDeadline::After(1000), why), E_VISA_INV_PARAMETER);
  static const char kCmd[] = "*CLS;*SRE 32;*ESE 1;*OPC";
  std::size_t sent = 0;
  ASSERT_EQ(t->Send(reinterpret_cast<const BYTE*>(kCmd), sizeof kCmd - 1, true, CDeadline::After(1000), sent, why),
            S_OK);
  bool raised = false;
  BYTE stb = 0;
  for (int i = 0; i < 100 && !raised; ++i) {
    ASSERT_EQ(t->TakeServiceRequest(raised, stb, why), S_OK) << why;
    if (!raised) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(raised);
  EXPECT_EQ(stb & 0x40, 0x40) << int(stb);
  static const char kOff[] = "*SRE 0;*CLS";
  ASSERT_EQ(t->Send(reinterpret_cast<const BYTE*>(kOff), sizeof kOff - 1, true, CDeadline::After(1000), sent, why),
            S_OK);
}

// A connection to the simulator's SOCKET port with a receive timeout; -1 when refused.
int ConnectSocket(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval tv{0, 200000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The usbtmc device node of a USB instrument, standing in: transfers go to the simulator's
// SOCKET port, and a watcher reads the status byte on a connection of its own every 5 ms and
// latches a request when its bit rises, as the driver does with the interrupt endpoint's
// notifications. It answers as the old kernel driver (no API version): a short read ends a message.
class CSocketBackedUsbtmc final : public IUsbtmcDevice {
 public:
  explicit CSocketBackedUsbtmc(int port) : data_(ConnectSocket(port)), status_(ConnectSocket(port)) {
    watcher_ = std::thread([this] { Watch(); });
  }
  ~CSocketBackedUsbtmc() override {
    stop_ = true;
    watcher_.join();
    ::close(data_);
    ::close(status_);
  }
  bool Connected() const { return data_ >= 0 && status_ >= 0; }
  long Read(void* data, std::size_t n) override {
    ssize_t r = ::recv(data_, data, n, 0);
    return r > 0 ? static_cast<long>(r) : -ETIMEDOUT;
  }
  long Write(const void* data, std::size_t n) override {
    ssize_t r = ::send(data_, data, n, MSG_NOSIGNAL);
    return r >= 0 ? static_cast<long>(r) : -EIO;
  }
  int Ioctl(unsigned long request, void* arg) override {
    std::unique_lock lk(m_);
    if (request == USBTMC488_IOCTL_WAIT_SRQ) {
      auto ms = std::chrono::milliseconds(*static_cast<__u32*>(arg));
      return cv_.wait_for(lk, ms, [&] { return !srqs_.empty(); }) ? 0 : -ETIMEDOUT;
    }
    if (request == USBTMC_IOCTL_GET_SRQ_STB) {
      if (srqs_.empty()) return -ENOMSG;
      *static_cast<__u8*>(arg) = srqs_.front();
      srqs_.pop_front();
      return 0;
    }
    if (request == USBTMC_IOCTL_CLEAR) return 0;
    return -ENOTTY;
  }

 private:
  void Watch() {
    bool up = false;
    while (!stop_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      char reply[16] = {};
      if (::send(status_, "*STB?\n", 6, MSG_NOSIGNAL) != 6 || ::recv(status_, reply, sizeof reply - 1, 0) <= 0)
        continue;
      const int stb = std::atoi(reply);
      const bool rqs = (stb & 0x40) != 0;
      if (rqs && !up) {
        std::lock_guard lk(m_);
        srqs_.push_back(static_cast<BYTE>(stb));
        cv_.notify_all();
      }
      up = rqs;
    }
  }
  int data_, status_;
  std::atomic<bool> stop_{false};
  std::thread watcher_;
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<BYTE> srqs_;
};

// The USB path end to end: the session over the stand-in gets the request raised by *OPC sent
// on another connection to the same instrument, in its handler, and goes on serving queries.
TEST(UsbtmcStandIn, HandlerGetsTheServiceRequestRaisedOnAnotherConnection) {
  ComInit com;
  auto device = std::make_unique<CSocketBackedUsbtmc>(Sim().port());
  ASSERT_TRUE(device->Connected());
  CMessageSession* raw = nullptr;
  ASSERT_EQ(CMessageSession::Create(&raw), S_OK);
  ComPtr<IMessage> m;
  m.Attach(static_cast<IMessage*>(raw));
  ASSERT_EQ(raw->InitOver("USB0::0x1234::0x5678::SN1::INSTR", MakeUsbtmcTransport(std::move(device))), S_OK)
      << ErrorText();
  ASSERT_EQ(m->put_Timeout(2000), S_OK);
  ComPtr<IEventManager> events;
  ASSERT_EQ(m.As(events), S_OK);
  ComPtr<IEventHandler> handler;
  ASSERT_EQ(CSrqCounter::Create(IID_IEventHandler, handler.ReceiveVoid()), S_OK);
  ASSERT_EQ(events->InstallHandler(EVENT_SERVICE_REQ, handler.get(), 3, 0), S_OK);
  ASSERT_EQ(events->EnableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0), S_OK) << ErrorText();
  int raiser = ConnectSocket(Sim().port());
  ASSERT_GE(raiser, 0);
  static const char kRaise[] = "*SRE 0;*ESE 0;*CLS\n*SRE 32;*ESE 1;*OPC\n";
  ASSERT_EQ(::send(raiser, kRaise, sizeof kRaise - 1, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof kRaise - 1));
  const int stb = static_cast<CSrqCounter*>(handler.get())->Await(std::chrono::seconds(3));
  EXPECT_NE(stb, -1) << "no service request reached the handler";
  EXPECT_EQ(stb & 0x60, 0x60) << stb;
  LONG n = 0;
  ASSERT_EQ(m->WriteString(Bstr("*IDN?\n"), &n), S_OK) << ErrorText();
  Bstr reply;
  ASSERT_EQ(m->ReadString(256, reply.Receive()), S_OK) << ErrorText();
  EXPECT_EQ(reply.Narrow().rfind("Veltrane Instruments,", 0), 0u) << reply.Narrow();
  static const char kOff[] = "*SRE 0;*ESE 0;*CLS\n";
  ::send(raiser, kOff, sizeof kOff - 1, MSG_NOSIGNAL);
  ::close(raiser);
  EXPECT_EQ(m->Close(), S_OK);
}

TEST(FrontEndErrors, UnknownDevicesAndClosedPortsFailToOpenWithTheReason) {
  ComInit com;
  ASSERT_EQ(korvane::RegisterBuiltInProvider(), S_OK);
  ComPtr<IResourceManager> rm;
  ASSERT_EQ(CoCreateInstance(CLSID_VisaComGlobalResourceManager, nullptr, KORVANE_VISACOM_CLSCTX, IID_IResourceManager,
                             rm.ReceiveVoid()),
            S_OK);
  ASSERT_GT(Sim().announcedPort("vxi11 "), 0);
  struct Case {
    std::string resource;
    HRESULT hr;
    const char* text;
  } cases[] = {
      {"TCPIP0::127.0.0.1::bogus0::INSTR", E_VISA_RSRC_NFOUND, "bogus0"},
      // The SOCKET port speaks no HiSLIP: the handshake gets no answer within the open timeout.
      {"TCPIP0::127.0.0.1::hislip0," + std::to_string(Sim().port()) + "::INSTR", E_VISA_TMO, "HiSLIP"},
      {"TCPIP0::127.0.0.1::hislip0,99999::INSTR", E_VISA_INV_RSRC_NAME, "99999"},
  };
  for (const Case& c : cases) {
    ComPtr<IVisaSession> s;
    EXPECT_EQ(rm->Open(Bstr(c.resource), NO_LOCK, 500, Bstr(std::string_view{}), s.Receive()), c.hr) << c.resource;
    EXPECT_NE(ErrorText().find(c.text), std::string::npos) << ErrorText();
  }
}

// Raw ONC RPC calls to the simulator's VXI-11 channels, for what no VISA client sends: calls
// outside the programs' procedures and arguments that do not decode.
class RpcConnection {
 public:
  explicit RpcConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    timeval tv{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RpcConnection() { ::close(fd_); }
  RpcConnection(const RpcConnection&) = delete;
  RpcConnection& operator=(const RpcConnection&) = delete;
  bool connected() const { return connected_; }

  // Sends one call with the given argument words; returns the accept status followed by the
  // result words, or nothing when no well-formed reply came back.
  std::vector<uint32_t> Call(uint32_t prog, uint32_t vers, uint32_t proc, std::vector<uint32_t> args = {},
                             std::string_view opaque = {}) {
    namespace w = korvane::wire::vxi11;
    w::CXdrWriter x;
    x.CallHeader(++xid_, prog, vers, proc);
    for (uint32_t a : args) x.U32(a);
    if (!opaque.empty()) x.String(opaque);
    const std::vector<uint8_t>& b = x.Finish();
    if (::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(b.size())) return {};
    uint8_t mark[4];
    if (!Read(mark, 4)) return {};
    std::vector<uint8_t> body(w::Get32(mark) & ~w::kLastFragment);
    if (body.size() < 24 || body.size() % 4 || !Read(body.data(), body.size())) return {};
    if (w::Get32(body.data()) != xid_ || w::Get32(body.data() + 4) != w::kReply) return {};
    std::vector<uint32_t> out;
    for (size_t at = 20; at < body.size(); at += 4) out.push_back(w::Get32(body.data() + at));
    return out;
  }

 private:
  bool Read(uint8_t* p, size_t n) {
    for (size_t got = 0; got < n;) {
      const ssize_t r = ::recv(fd_, p + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }
  int fd_;
  bool connected_ = false;
  uint32_t xid_ = 0;
};

TEST(FrontEndVxi11Rpc, CallsOutsideTheProgramGetTheRpcErrorAndTheConnectionGoesOn) {
  namespace w = korvane::wire::vxi11;
  ASSERT_GT(Sim().announcedPort("vxi11 "), 0);
  RpcConnection core(Sim().announcedPort("vxi11 "));
  ASSERT_TRUE(core.connected());
  using Words = std::vector<uint32_t>;
  EXPECT_EQ(core.Call(w::kAbortProgram, w::kVersion, w::kDeviceAbort, {1}), Words{w::kProgUnavail});
  EXPECT_EQ(core.Call(w::kCoreProgram, 3, w::kCreateLink), (Words{w::kProgMismatch, 1, 1}));
  EXPECT_EQ(core.Call(w::kCoreProgram, w::kVersion, 99, {1}), Words{w::kProcUnavail});
  EXPECT_EQ(core.Call(w::kCoreProgram, w::kVersion, w::kCreateLink, {7}), Words{w::kGarbageArgs});
  EXPECT_EQ(core.Call(w::kCoreProgram, w::kVersion, w::kCreateLink, {7, 0, 0}, "bogus0"),
            (Words{w::kSuccess, w::kErrNotAccessible, 0, 0, 0}));

  const Words link = core.Call(w::kCoreProgram, w::kVersion, w::kCreateLink, {7, 0, 0}, "inst0");
  ASSERT_EQ(link.size(), 5u);
  ASSERT_EQ(link[1], w::kErrNone);
  const uint32_t lid = link[2], abortPort = link[3];
  EXPECT_EQ(core.Call(w::kCoreProgram, w::kVersion, w::kDeviceEnableSrq, {lid, 1}), Words{w::kGarbageArgs});
  EXPECT_EQ(core.Call(w::kCoreProgram, w::kVersion, w::kDeviceEnableSrq, {lid, 1}, "h"),
            (Words{w::kSuccess, w::kErrNoChannel}))
      << "service requests need the interrupt channel first";
  EXPECT_EQ(core.Call(w::kCoreProgram, w::kVersion, w::kDestroyIntrChan), (Words{w::kSuccess, w::kErrNoChannel}));
  EXPECT_EQ(core.Call(w::kCoreProgram, w::kVersion, w::kDeviceLock, {lid}), Words{w::kGarbageArgs});
  EXPECT_EQ(core.Call(w::kCoreProgram, w::kVersion, w::kDeviceWrite, {lid + 100, 0, 0, w::kFlagEnd}, "*CLS"),
            (Words{w::kSuccess, w::kErrInvalidLink, 0}));
  EXPECT_EQ(core.Call(w::kCoreProgram, w::kVersion, w::kDeviceUnlock, {lid}), (Words{w::kSuccess, w::kErrNoLock}));

  RpcConnection abort(static_cast<int>(abortPort));
  ASSERT_TRUE(abort.connected());
  EXPECT_EQ(abort.Call(w::kAbortProgram, w::kVersion, w::kDeviceWrite, {lid}), Words{w::kProcUnavail});
  EXPECT_EQ(abort.Call(w::kAbortProgram, w::kVersion, w::kDeviceAbort, {lid + 100}),
            (Words{w::kSuccess, w::kErrInvalidLink}));

  EXPECT_EQ(core.Call(w::kCoreProgram, w::kVersion, w::kDestroyLink, {lid}), (Words{w::kSuccess, w::kErrNone}));
  EXPECT_EQ(core.Call(w::kCoreProgram, w::kVersion, w::kDestroyLink, {lid}), (Words{w::kSuccess, w::kErrInvalidLink}));
}

}  // namespace
