// The provider's COM surface: vtable layout, class registration, resource-string parsing.
#include "support/ProviderTest.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

namespace korvane::visacom::testing {
namespace {

// Vtable slot of a virtual member function. Both GCC targets (Linux and mingw-w64) use the
// Itanium representation: a virtual member pointer holds 1 + the byte offset in the vtable.
template <typename F>
std::size_t SlotOf(F member) {
  static_assert(sizeof(F) == 2 * sizeof(std::uintptr_t));
  std::uintptr_t raw[2];
  std::memcpy(raw, &member, sizeof raw);
  return (raw[0] - 1) / sizeof(void*);
}

// A slip in member order would silently break calls into a system VISA-COM library.
TEST(VisaComLayout, MembersSitInTheTypeLibrarySlots) {
  EXPECT_EQ(SlotOf(&IResourceManager::FindRsrc), 9u);
  EXPECT_EQ(SlotOf(&IResourceManager::Open), 10u);
  EXPECT_EQ(SlotOf(&IResourceManager::ParseRsrc), 11u);
  EXPECT_EQ(SlotOf(&IResourceManager3::ParseRsrcEx), 12u);
  EXPECT_EQ(SlotOf(&IVisaSession::get_HardwareInterfaceType), 7u);
  EXPECT_EQ(SlotOf(&IVisaSession::get_Timeout), 15u);
  EXPECT_EQ(SlotOf(&IVisaSession::GetAttribute), 18u);
  EXPECT_EQ(SlotOf(&IVisaSession::LockRsrc), 20u);
  EXPECT_EQ(SlotOf(&IVisaSession::Close), 23u);
  EXPECT_EQ(SlotOf(&IBaseMessage::get_IOProtocol), 24u);
  EXPECT_EQ(SlotOf(&IBaseMessage::put_TerminationCharacterEnabled), 31u);
  EXPECT_EQ(SlotOf(&IBaseMessage::ReadSTB), 34u);
  EXPECT_EQ(SlotOf(&IMessage::Read), 35u);
  EXPECT_EQ(SlotOf(&IMessage::Write), 37u);
  EXPECT_EQ(SlotOf(&IMessage::WriteString), 38u);
  EXPECT_EQ(SlotOf(&IEventManager::get_MaximumQueueLength), 24u);
  EXPECT_EQ(SlotOf(&IEventManager::WaitOnEvent), 29u);
  EXPECT_EQ(SlotOf(&IEventManager::UninstallHandler), 31u);
  EXPECT_EQ(SlotOf(&IEvent::Close), 7u);
  EXPECT_EQ(SlotOf(&IFormattedIO488::putref_IO), 4u);
  EXPECT_EQ(SlotOf(&IFormattedIO488::ReadIEEEBlock), 14u);
  EXPECT_EQ(SlotOf(&IFormattedIO488::SetBufferSize), 17u);
}

class Registration : public ProviderTest {};

TEST_F(Registration, ClassesAreFoundThroughTheClassTable) {
  ComPtr<IResourceManager3> rm3;
  EXPECT_EQ(rm_.As(rm3), S_OK);
  ComPtr<IAsyncMessage> none;
  EXPECT_EQ(rm_.As(none), E_NOINTERFACE);

  ComPtr<IFormattedIO488> fio;
  ASSERT_EQ(CoCreateInstance(CLSID_VisaComFormattedIO488, nullptr, KORVANE_VISACOM_CLSCTX, IID_IFormattedIO488,
                             fio.ReceiveVoid()),
            S_OK);
  ComPtr<IMessage> io;
  EXPECT_EQ(fio->get_IO(io.Receive()), S_OK);
  EXPECT_FALSE(io);
  // Formatted transfers without a session say so.
  EXPECT_EQ(fio->FlushRead(), E_FAIL);
  EXPECT_NE(LastErrorText().find("IO property"), std::string::npos);

  bool builtIn = false;
  EXPECT_EQ(korvane::EnsureVisaComProvider(&builtIn), S_OK);
#if !defined(_WIN32)
  EXPECT_TRUE(builtIn);
#endif
}

TEST_F(Registration, FindRsrcChecksTheExpressionAndReportsEmptyLists) {
#if !defined(_WIN32)
  // Loopback only, briefly: the finders run for real.
  ::setenv("KORVANE_FIND_INTERFACES", "lo", 1);
  ::setenv("KORVANE_FIND_TIMEOUT_MS", "100", 1);
#endif
  SAFEARRAY* list = reinterpret_cast<SAFEARRAY*>(1);
  EXPECT_EQ(rm_->FindRsrc(Bstr(std::string_view("?*INSTR[")), &list), E_VISA_INV_EXPR);
  EXPECT_EQ(list, nullptr);
  EXPECT_NE(LastErrorText().find("without its ']'"), std::string::npos);
  list = reinterpret_cast<SAFEARRAY*>(1);
  EXPECT_EQ(rm_->FindRsrc(Bstr(std::string_view("GPIB?*")), &list), E_VISA_RSRC_NFOUND);  // no finder lists GPIB
  EXPECT_EQ(list, nullptr);
  EXPECT_NE(LastErrorText().find("GPIB?*"), std::string::npos);
  EXPECT_EQ(rm_->FindRsrc(Bstr(std::string_view("?*")), nullptr), E_POINTER);
}

using ResourceNames = ProviderTest;

TEST_F(ResourceNames, ValidNamesFollowTheGrammar) {
  struct Case {
    const char* name;
    SHORT type;
    SHORT board;
    const char* cls;
    const char* expanded;
  };
  const Case cases[] = {
      {"TCPIP0::192.168.1.5::5025::SOCKET", 6, 0, "SOCKET", "TCPIP0::192.168.1.5::5025::SOCKET"},
      {"tcpip3::scope.lab::5025::socket", 6, 3, "SOCKET", "TCPIP3::scope.lab::5025::SOCKET"},
      {"TCPIP::[fe80::1]::5025::SOCKET", 6, 0, "SOCKET", "TCPIP0::[fe80::1]::5025::SOCKET"},
      {"TCPIP::10.0.0.2", 6, 0, "INSTR", "TCPIP0::10.0.0.2::inst0::INSTR"},
      {"TCPIP0::10.0.0.2::hislip0,4880::INSTR", 6, 0, "INSTR", "TCPIP0::10.0.0.2::hislip0,4880::INSTR"},
      {"GPIB::7", 1, 0, "INSTR", "GPIB0::7::INSTR"},
      {"GPIB1::7::3::INSTR", 1, 1, "INSTR", "GPIB1::7::3::INSTR"},
      {"GPIB2::INTFC", 1, 2, "INTFC", "GPIB2::INTFC"},
      {"USB::0x1234::0x5678::SN42", 7, 0, "INSTR", "USB0::0x1234::0x5678::SN42::INSTR"},
      {"USB0::4660::22136::SN42::1::RAW", 7, 0, "RAW", "USB0::0x1234::0x5678::SN42::1::RAW"},
      {"ASRL4::INSTR", 4, 4, "INSTR", "ASRL4::INSTR"},
      {"ASRL/dev/ttyUSB0::INSTR", 4, 0, "INSTR", "ASRL/dev/ttyUSB0::INSTR"},
      {"GPIB-VXI::24", 3, 0, "INSTR", "GPIB-VXI0::24::INSTR"},
      {"VXI0::MEMACC", 2, 0, "MEMACC", "VXI0::MEMACC"},
      {"PXI0::CHASSIS1::SLOT4::INSTR", 5, 0, "INSTR", "PXI0::CHASSIS1::SLOT4::INSTR"},
  };
  ComPtr<IResourceManager3> rm3;
  ASSERT_EQ(rm_.As(rm3), S_OK);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SHORT type = -1, board = -1;
    Bstr cls, expanded, alias;
    ASSERT_EQ(rm3->ParseRsrcEx(Bstr(std::string_view(c.name)), &type, &board, cls.Receive(), expanded.Receive(),
                               alias.Receive()),
              S_OK)
        << LastErrorText();
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(board, c.board);
    EXPECT_EQ(cls.Narrow(), c.cls);
    EXPECT_EQ(expanded.Narrow(), c.expanded);
    EXPECT_TRUE(alias.empty());
  }
}

TEST_F(ResourceNames, MalformedNamesAndAliasesAreInvalid) {
  const char* bad[] = {"",
                       "MyScope",  // an alias: not resolved by this provider
                       "TCPIP0::host::SOCKET", "TCPIP0::host::0::SOCKET", "TCPIP0::host::65536::SOCKET",
                       "TCPIP0::host::50x25::SOCKET", "TCPIP0::::5025::SOCKET", "TCPIPx::host::5025::SOCKET",
                       "TCPIP0::host::inst0::extra::INSTR", "TCPIP0::host::RAW", "GPIB0::31::INSTR", "GPIB0::INTFC::5",
                       "USB0::0x10000::1::SN::INSTR", "USB0::1::2::INSTR", "ASRL1::5::INSTR", "VXI0::256::INSTR",
                       "FOO0::1::INSTR", "PXI0::a::b::c::d::INSTR",
                       // A ':' next to a separator reads back differently.
                       "ASRL/dev/x:", "PXI0::c:", "GPIB0:::7::INSTR"};
  for (const char* name : bad) {
    SCOPED_TRACE(name);
    SHORT type = -1, board = -1;
    Bstr cls;
    EXPECT_EQ(rm_->ParseRsrc(Bstr(std::string_view(name)), &type, &board, cls.Receive()), E_VISA_INV_RSRC_NAME);
    EXPECT_NE(LastErrorText().find("Invalid resource name"), std::string::npos);
    EXPECT_EQ(cls.get(), nullptr);
  }
}

TEST_F(ResourceNames, OpenSaysWhyAResourceCannotBeOpened) {
  ComPtr<IVisaSession> session;
  EXPECT_EQ(rm_->Open(Bstr(std::string_view("MyScope")), NO_LOCK, 2000, nullptr, session.Receive()),
            E_VISA_INV_RSRC_NAME);
  EXPECT_FALSE(session);
  // Valid names of transports this provider does not have.
  std::vector<const char*> names = {"GPIB0::7::INSTR"};
#if defined(_WIN32)
  names.push_back("ASRL1::INSTR");                       // serial ports are served on POSIX systems only
  names.push_back("USB0::0x1234::0x5678::SN42::INSTR");  // and USB through the kernel's usbtmc driver
#else
  // No such instrument is bound to the usbtmc driver here, and the reason says so.
  EXPECT_EQ(rm_->Open(Bstr(std::string_view("USB0::0x1234::0x5678::SN42::INSTR")), NO_LOCK, 2000, nullptr,
                      session.Receive()),
            E_VISA_RSRC_NFOUND);
  EXPECT_NE(LastErrorText().find("usbtmc"), std::string::npos) << LastErrorText();
#endif
  for (const char* name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(rm_->Open(Bstr(std::string_view(name)), NO_LOCK, 2000, nullptr, session.Receive()), E_VISA_RSRC_NFOUND);
    EXPECT_NE(LastErrorText().find("cannot open"), std::string::npos);
    EXPECT_FALSE(session);
  }
  EXPECT_EQ(rm_->Open(Bstr(std::string_view("TCPIP0::127.0.0.1::5025::SOCKET")), static_cast<AccessMode>(3), 2000,
                      nullptr, session.Receive()),
            E_VISA_INV_ACC_MODE);
}

}  // namespace
}  // namespace korvane::visacom::testing
