// VISA-COM interfaces, identifiers, enumerations and status codes, declared with the COM ABI.
//
// The layouts match the published VISA-COM type library member for member, so the same header
// drives either the system's VISA-COM library (where one is installed) or the built-in provider.
// Every interface derives from IUnknown (none is IDispatch-based). Do not reorder, insert or
// remove members: the order of the pure virtual functions below is the vtable. Array arguments
// typed SAFEARRAY(T)* in the type library are passed by reference (SAFEARRAY**).
#pragma once

#include <korvane/KorvanePlatform.h>

// ---- Identifiers ----

#define KORVANE_VISACOM_GUID(name, l) \
  inline constexpr GUID name = {l, 0xD6D3, 0x11D4, {0xAA, 0x51, 0x00, 0xA0, 0x24, 0xEE, 0x30, 0xBD}}

KORVANE_VISACOM_GUID(LIBID_VisaComLib, 0xDB8CBF00);
KORVANE_VISACOM_GUID(IID_IResourceManager, 0xDB8CBF02);
KORVANE_VISACOM_GUID(IID_IVisaSession, 0xDB8CBF03);
KORVANE_VISACOM_GUID(IID_IBaseMessage, 0xDB8CBF04);
KORVANE_VISACOM_GUID(IID_IMessage, 0xDB8CBF05);
KORVANE_VISACOM_GUID(IID_IAsyncMessage, 0xDB8CBF06);
KORVANE_VISACOM_GUID(IID_IRegister, 0xDB8CBF07);
KORVANE_VISACOM_GUID(IID_ISharedRegister, 0xDB8CBF08);
KORVANE_VISACOM_GUID(IID_IGpib, 0xDB8CBF09);
KORVANE_VISACOM_GUID(IID_ISerial, 0xDB8CBF0C);
KORVANE_VISACOM_GUID(IID_ITcpipInstr, 0xDB8CBF0D);
KORVANE_VISACOM_GUID(IID_ITcpipSocket, 0xDB8CBF0E);
KORVANE_VISACOM_GUID(IID_IEvent, 0xDB8CBF12);
KORVANE_VISACOM_GUID(IID_IEventHandler, 0xDB8CBF13);
KORVANE_VISACOM_GUID(IID_IEventManager, 0xDB8CBF14);
KORVANE_VISACOM_GUID(IID_IFormattedIO488, 0xDB8CBF1A);
KORVANE_VISACOM_GUID(IID_IResourceManager3, 0xDB8CBF20);
KORVANE_VISACOM_GUID(IID_IUsb, 0xDB8CBF24);

// The global resource manager ("VISA.GlobalRM") and the formatted I/O class ("VISA.BasicFormattedIO").
KORVANE_VISACOM_GUID(CLSID_VisaComGlobalResourceManager, 0xDB8CBF1C);
KORVANE_VISACOM_GUID(CLSID_VisaComFormattedIO488, 0xDB8CBF1D);
// Second resource-manager class some installations register instead of the global one.
inline constexpr GUID CLSID_VisaComAlternateResourceManager = {0x36F6E303,
                                                               0xA9CE,
                                                               0x11D4,
                                                               {0x98, 0xE5, 0x00, 0x10, 0x83, 0x01, 0xCB, 0x39}};

#undef KORVANE_VISACOM_GUID

// Class context the I/O layer creates VISA-COM objects with (in-process server and handler,
// local and remote server).
inline constexpr DWORD KORVANE_VISACOM_CLSCTX = 23;

// ---- Status codes (VisaStatusCode): the low 16 bits of the VISA C status, FACILITY_ITF ----

#define KORVANE_VISACOM_HR(name, v) inline constexpr HRESULT name = static_cast<HRESULT>(v##UL)
KORVANE_VISACOM_HR(S_VISA_SUCCESS, 0x00000000);
KORVANE_VISACOM_HR(S_VISA_EVENT_EN, 0x00040002);
KORVANE_VISACOM_HR(S_VISA_EVENT_DIS, 0x00040003);
KORVANE_VISACOM_HR(S_VISA_QUEUE_EMPTY, 0x00040004);
KORVANE_VISACOM_HR(S_VISA_TERM_CHAR, 0x00040005);
KORVANE_VISACOM_HR(S_VISA_MAX_CNT, 0x00040006);
KORVANE_VISACOM_HR(S_VISA_NESTED_SHARED, 0x00040099);
KORVANE_VISACOM_HR(S_VISA_NESTED_EXCLUSIVE, 0x0004009A);
KORVANE_VISACOM_HR(E_VISA_SYSTEM_ERROR, 0x80040000);
KORVANE_VISACOM_HR(E_VISA_INV_OBJECT, 0x8004000E);
KORVANE_VISACOM_HR(E_VISA_RSRC_LOCKED, 0x8004000F);
KORVANE_VISACOM_HR(E_VISA_INV_EXPR, 0x80040010);
KORVANE_VISACOM_HR(E_VISA_RSRC_NFOUND, 0x80040011);
KORVANE_VISACOM_HR(E_VISA_INV_RSRC_NAME, 0x80040012);
KORVANE_VISACOM_HR(E_VISA_INV_ACC_MODE, 0x80040013);
KORVANE_VISACOM_HR(E_VISA_TMO, 0x80040015);
KORVANE_VISACOM_HR(E_VISA_CLOSING_FAILED, 0x80040016);
KORVANE_VISACOM_HR(E_VISA_NSUP_ATTR, 0x8004001D);
KORVANE_VISACOM_HR(E_VISA_NSUP_ATTR_STATE, 0x8004001E);
KORVANE_VISACOM_HR(E_VISA_ATTR_READONLY, 0x8004001F);
KORVANE_VISACOM_HR(E_VISA_INV_LOCK_TYPE, 0x80040020);
KORVANE_VISACOM_HR(E_VISA_INV_ACCESS_KEY, 0x80040021);
KORVANE_VISACOM_HR(E_VISA_INV_EVENT, 0x80040026);
KORVANE_VISACOM_HR(E_VISA_INV_MECH, 0x80040027);
KORVANE_VISACOM_HR(E_VISA_HNDLR_NINSTALLED, 0x80040028);
KORVANE_VISACOM_HR(E_VISA_NENABLED, 0x8004002F);
KORVANE_VISACOM_HR(E_VISA_ABORT, 0x80040030);
KORVANE_VISACOM_HR(E_VISA_ALLOC, 0x8004003C);
KORVANE_VISACOM_HR(E_VISA_IO, 0x8004003E);
KORVANE_VISACOM_HR(E_VISA_NSUP_OPER, 0x80040067);
KORVANE_VISACOM_HR(E_VISA_RSRC_BUSY, 0x80040072);
KORVANE_VISACOM_HR(E_VISA_INV_PARAMETER, 0x80040078);
KORVANE_VISACOM_HR(E_VISA_INV_PROT, 0x80040079);
KORVANE_VISACOM_HR(E_VISA_INV_SIZE, 0x8004007B);
KORVANE_VISACOM_HR(E_VISA_NIMPL_OPER, 0x80040081);
KORVANE_VISACOM_HR(E_VISA_INV_LENGTH, 0x80040083);
KORVANE_VISACOM_HR(E_VISA_SESN_NLOCKED, 0x8004009C);
KORVANE_VISACOM_HR(E_VISA_CONN_LOST, 0x800400A6);
#undef KORVANE_VISACOM_HR

// ---- Enumerations (32-bit on the wire, like every COM enum) ----

enum AccessMode : LONG { NO_LOCK = 0, EXCLUSIVE_LOCK = 1, SHARED_LOCK = 2, LOAD_CONFIG = 4 };

enum HardwareInterfaceType : LONG {
  INTF_GPIB = 1,
  INTF_VXI = 2,
  INTF_GPIB_VXI = 3,
  INTF_ASRL = 4,
  INTF_TCPIP = 6,
  INTF_USB = 7
};
// Not in the type library's enumeration, but reported by HardwareInterfaceType for PXI resources.
inline constexpr SHORT KORVANE_VISACOM_INTF_PXI = 5;

enum IOProtocol : LONG { PROT_NORMAL = 1, PROT_FDC = 2, PROT_HS488 = 3, PROT_4882_STRS = 4, PROT_USBTMC_VENDOR = 5 };

enum EventType : LONG {
  EVENT_IO_COMPLETION = 0x3FFF2009,
  EVENT_TRIG = static_cast<LONG>(0xBFFF200AUL),
  EVENT_SERVICE_REQ = 0x3FFF200B,
  EVENT_CLEAR = 0x3FFF200D,
  EVENT_EXCEPTION = static_cast<LONG>(0xBFFF200EUL),
  EVENT_GPIB_CIC = 0x3FFF2012,
  EVENT_GPIB_TALK = 0x3FFF2013,
  EVENT_GPIB_LISTEN = 0x3FFF2014,
  EVENT_VXI_VME_SYSFAIL = 0x3FFF201D,
  EVENT_VXI_VME_SYSRESET = 0x3FFF201E,
  EVENT_VXI_SIGP = 0x3FFF2020,
  EVENT_VXI_VME_INTR = static_cast<LONG>(0xBFFF2021UL),
  EVENT_TCPIP_CONNECT = 0x3FFF2036,
  EVENT_USB_INTR = 0x3FFF2037,
  ALL_ENABLED_EVENTS = 0x3FFF7FFF,
  CUSTOM_EVENT_TYPE = -1
};

enum EventMechanism : LONG { EVENT_QUEUE = 1, EVENT_HNDLR = 2, EVENT_SUSPEND_HNDLR = 4, EVENT_ALL_MECH = -1 };

enum TriggerProtocol : LONG { TRIG_PROT_DEFAULT = 0, TRIG_PROT_ON = 1, TRIG_PROT_OFF = 2, TRIG_PROT_SYNC = 5 };

enum BufferMask : LONG { IO_IN_BUF = 0x10, IO_OUT_BUF = 0x20, IO_IN_AND_OUT_BUFS = 0x30 };

enum Timeout : LONG { TMO_IMMEDIATE = 0, TMO_INFINITE = -1 };

// The values are the VARTYPE codes of the element types.
enum IEEEASCIIType : LONG {
  ASCIIType_I2 = 2,
  ASCIIType_I4 = 3,
  ASCIIType_R4 = 4,
  ASCIIType_R8 = 5,
  ASCIIType_BSTR = 8,
  ASCIIType_Any = 12,
  ASCIIType_UI1 = 17
};
enum IEEEBinaryType : LONG {
  BinaryType_I2 = 2,
  BinaryType_I4 = 3,
  BinaryType_R4 = 4,
  BinaryType_R8 = 5,
  BinaryType_UI1 = 17
};

// ---- Interfaces ----

struct IEvent;
struct IEventHandler;
struct IEventManager;
struct IMessage;

struct IResourceManager : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_SoftwareManufacturerName(BSTR* pVal) = 0;    // 3
  virtual HRESULT STDMETHODCALLTYPE get_SoftwareManufacturerID(SHORT* pVal) = 0;     // 4
  virtual HRESULT STDMETHODCALLTYPE get_Description(BSTR* pVal) = 0;                 // 5
  virtual HRESULT STDMETHODCALLTYPE get_ComponentVersion(LONG* pVal) = 0;            // 6
  virtual HRESULT STDMETHODCALLTYPE get_ProgID(BSTR* pVal) = 0;                      // 7
  virtual HRESULT STDMETHODCALLTYPE get_SpecVersion(LONG* pVal) = 0;                 // 8
  virtual HRESULT STDMETHODCALLTYPE FindRsrc(BSTR expr, SAFEARRAY** pFindList) = 0;  // 9
  virtual HRESULT STDMETHODCALLTYPE Open(BSTR ResourceName, AccessMode mode, LONG openTimeout, BSTR OptionString,
                                         struct IVisaSession** vi) = 0;  // 10
  virtual HRESULT STDMETHODCALLTYPE ParseRsrc(BSTR ResourceName, SHORT* pInterfaceType, SHORT* pInterfaceNumber,
                                              BSTR* pSessionType) = 0;  // 11
};

struct IResourceManager3 : public IResourceManager {
  virtual HRESULT STDMETHODCALLTYPE ParseRsrcEx(BSTR ResourceName, SHORT* pInterfaceType, SHORT* pInterfaceNumber,
                                                BSTR* pSessionType, BSTR* pUnaliasedExpandedResourceName,
                                                BSTR* pAliasIfExists) = 0;  // 12
};

struct IVisaSession : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_ComponentVersion(LONG* pVal) = 0;                   // 3
  virtual HRESULT STDMETHODCALLTYPE get_SpecVersion(LONG* pVal) = 0;                        // 4
  virtual HRESULT STDMETHODCALLTYPE get_HardwareInterfaceName(BSTR* pVal) = 0;              // 5
  virtual HRESULT STDMETHODCALLTYPE get_HardwareInterfaceNumber(SHORT* pVal) = 0;           // 6
  virtual HRESULT STDMETHODCALLTYPE get_HardwareInterfaceType(SHORT* pVal) = 0;             // 7
  virtual HRESULT STDMETHODCALLTYPE get_LockState(AccessMode* pVal) = 0;                    // 8
  virtual HRESULT STDMETHODCALLTYPE get_OptionString(BSTR* pVal) = 0;                       // 9
  virtual HRESULT STDMETHODCALLTYPE get_ProgID(BSTR* pVal) = 0;                             // 10
  virtual HRESULT STDMETHODCALLTYPE get_ResourceName(BSTR* pVal) = 0;                       // 11
  virtual HRESULT STDMETHODCALLTYPE get_SessionType(BSTR* pVal) = 0;                        // 12
  virtual HRESULT STDMETHODCALLTYPE get_SoftwareManufacturerID(SHORT* pVal) = 0;            // 13
  virtual HRESULT STDMETHODCALLTYPE get_SoftwareManufacturerName(BSTR* pVal) = 0;           // 14
  virtual HRESULT STDMETHODCALLTYPE get_Timeout(LONG* pVal) = 0;                            // 15
  virtual HRESULT STDMETHODCALLTYPE put_Timeout(LONG val) = 0;                              // 16
  virtual HRESULT STDMETHODCALLTYPE get_LastStatus(HRESULT* pVal) = 0;                      // 17
  virtual HRESULT STDMETHODCALLTYPE GetAttribute(LONG attribute, VARIANT* pAttrState) = 0;  // 18
  virtual HRESULT STDMETHODCALLTYPE SetAttribute(LONG attribute, VARIANT attrState) = 0;    // 19
  virtual HRESULT STDMETHODCALLTYPE LockRsrc(AccessMode type, LONG lockTimeout, BSTR requestedKey,
                                             BSTR* pAccessKey) = 0;  // 20
  virtual HRESULT STDMETHODCALLTYPE UnlockRsrc() = 0;                // 21
  virtual HRESULT STDMETHODCALLTYPE Init(BSTR ResourceName, AccessMode mode, LONG initTimeout,
                                         BSTR OptionString) = 0;  // 22
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;                  // 23
};

struct IBaseMessage : public IVisaSession {
  virtual HRESULT STDMETHODCALLTYPE get_IOProtocol(IOProtocol* pVal) = 0;                     // 24
  virtual HRESULT STDMETHODCALLTYPE put_IOProtocol(IOProtocol val) = 0;                       // 25
  virtual HRESULT STDMETHODCALLTYPE get_SendEndEnabled(VARIANT_BOOL* pVal) = 0;               // 26
  virtual HRESULT STDMETHODCALLTYPE put_SendEndEnabled(VARIANT_BOOL val) = 0;                 // 27
  virtual HRESULT STDMETHODCALLTYPE get_TerminationCharacter(BYTE* pVal) = 0;                 // 28
  virtual HRESULT STDMETHODCALLTYPE put_TerminationCharacter(BYTE val) = 0;                   // 29
  virtual HRESULT STDMETHODCALLTYPE get_TerminationCharacterEnabled(VARIANT_BOOL* pVal) = 0;  // 30
  virtual HRESULT STDMETHODCALLTYPE put_TerminationCharacterEnabled(VARIANT_BOOL val) = 0;    // 31
  virtual HRESULT STDMETHODCALLTYPE AssertTrigger(TriggerProtocol protocol) = 0;              // 32
  virtual HRESULT STDMETHODCALLTYPE Clear() = 0;                                              // 33
  virtual HRESULT STDMETHODCALLTYPE ReadSTB(SHORT* pStatusByte) = 0;                          // 34
};

struct IMessage : public IBaseMessage {
  virtual HRESULT STDMETHODCALLTYPE Read(LONG count, SAFEARRAY** pBuffer) = 0;                   // 35
  virtual HRESULT STDMETHODCALLTYPE ReadString(LONG count, BSTR* pBuffer) = 0;                   // 36
  virtual HRESULT STDMETHODCALLTYPE Write(SAFEARRAY** buffer, LONG count, LONG* pRetCount) = 0;  // 37
  virtual HRESULT STDMETHODCALLTYPE WriteString(BSTR buffer, LONG* pRetCount) = 0;               // 38
};

struct IEvent : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_Type(EventType* pVal) = 0;                          // 3
  virtual HRESULT STDMETHODCALLTYPE get_CustomEventTypeNumber(LONG* pVal) = 0;              // 4
  virtual HRESULT STDMETHODCALLTYPE GetAttribute(LONG attribute, VARIANT* pAttrState) = 0;  // 5
  virtual HRESULT STDMETHODCALLTYPE SetAttribute(LONG attribute, VARIANT attrState) = 0;    // 6
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;                                            // 7
};

struct IEventHandler : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE HandleEvent(IEventManager* vi, IEvent* event, LONG userHandle) = 0;  // 3
};

struct IEventManager : public IVisaSession {
  virtual HRESULT STDMETHODCALLTYPE get_MaximumQueueLength(LONG* pVal) = 0;  // 24
  virtual HRESULT STDMETHODCALLTYPE put_MaximumQueueLength(LONG val) = 0;    // 25
  virtual HRESULT STDMETHODCALLTYPE EnableEvent(EventType type, EventMechanism mech,
                                                LONG customEventType) = 0;  // 26
  virtual HRESULT STDMETHODCALLTYPE DisableEvent(EventType type, EventMechanism mech,
                                                 LONG customEventType) = 0;  // 27
  virtual HRESULT STDMETHODCALLTYPE DiscardEvents(EventType type, EventMechanism mech,
                                                  LONG customEventType) = 0;  // 28
  virtual HRESULT STDMETHODCALLTYPE WaitOnEvent(LONG waitTimeout, EventType type, LONG customEventType,
                                                IEvent** pEvent) = 0;  // 29
  virtual HRESULT STDMETHODCALLTYPE InstallHandler(EventType type, IEventHandler* handler, LONG userHandle,
                                                   LONG customEventType) = 0;  // 30
  virtual HRESULT STDMETHODCALLTYPE UninstallHandler(EventType type, LONG userHandle,
                                                     LONG customEventType) = 0;  // 31
};

struct IFormattedIO488 : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_IO(IMessage** pVal) = 0;                           // 3
  virtual HRESULT STDMETHODCALLTYPE putref_IO(IMessage* val) = 0;                          // 4
  virtual HRESULT STDMETHODCALLTYPE get_InstrumentBigEndian(VARIANT_BOOL* pVal) = 0;       // 5
  virtual HRESULT STDMETHODCALLTYPE put_InstrumentBigEndian(VARIANT_BOOL val) = 0;         // 6
  virtual HRESULT STDMETHODCALLTYPE WriteString(BSTR data, VARIANT_BOOL flushAndEND) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE WriteNumber(VARIANT data, IEEEASCIIType type,
                                                VARIANT_BOOL flushAndEND) = 0;  // 8
  virtual HRESULT STDMETHODCALLTYPE WriteList(VARIANT* data, IEEEASCIIType type, BSTR listSeperator,
                                              VARIANT_BOOL flushAndEND) = 0;                                      // 9
  virtual HRESULT STDMETHODCALLTYPE WriteIEEEBlock(BSTR Command, VARIANT data, VARIANT_BOOL flushAndEND) = 0;     // 10
  virtual HRESULT STDMETHODCALLTYPE ReadString(BSTR* pData) = 0;                                                  // 11
  virtual HRESULT STDMETHODCALLTYPE ReadNumber(IEEEASCIIType type, VARIANT_BOOL flushToEND, VARIANT* pData) = 0;  // 12
  virtual HRESULT STDMETHODCALLTYPE ReadList(IEEEASCIIType type, BSTR listSeperator, VARIANT* pData) = 0;         // 13
  virtual HRESULT STDMETHODCALLTYPE ReadIEEEBlock(IEEEBinaryType type, VARIANT_BOOL seekToBlock,
                                                  VARIANT_BOOL flushToEND, VARIANT* pData) = 0;  // 14
  virtual HRESULT STDMETHODCALLTYPE FlushWrite(VARIANT_BOOL sendEND) = 0;                        // 15
  virtual HRESULT STDMETHODCALLTYPE FlushRead() = 0;                                             // 16
  virtual HRESULT STDMETHODCALLTYPE SetBufferSize(BufferMask mask, LONG size) = 0;               // 17
};

enum DataWidth : LONG { WIDTH_8 = 1, WIDTH_16 = 2, WIDTH_32 = 4, WIDTH_64 = 8 };

struct IAsyncMessage : public IBaseMessage {
  virtual HRESULT STDMETHODCALLTYPE Read(LONG count, LONG* pJobId) = 0;                       // 35
  virtual HRESULT STDMETHODCALLTYPE Write(SAFEARRAY** buffer, LONG count, LONG* pJobId) = 0;  // 36
  virtual HRESULT STDMETHODCALLTYPE WriteString(BSTR buffer, LONG* pJobId) = 0;               // 37
  virtual HRESULT STDMETHODCALLTYPE Terminate(LONG jobId) = 0;                                // 38
};

struct IRegister : public IVisaSession {
  virtual HRESULT STDMETHODCALLTYPE get_DestinationBigEndian(VARIANT_BOOL* pVal) = 0;                         // 24
  virtual HRESULT STDMETHODCALLTYPE put_DestinationBigEndian(VARIANT_BOOL val) = 0;                           // 25
  virtual HRESULT STDMETHODCALLTYPE get_DestinationIncrement(LONG* pVal) = 0;                                 // 26
  virtual HRESULT STDMETHODCALLTYPE put_DestinationIncrement(LONG val) = 0;                                   // 27
  virtual HRESULT STDMETHODCALLTYPE get_SourceBigEndian(VARIANT_BOOL* pVal) = 0;                              // 28
  virtual HRESULT STDMETHODCALLTYPE put_SourceBigEndian(VARIANT_BOOL val) = 0;                                // 29
  virtual HRESULT STDMETHODCALLTYPE get_SourceIncrement(LONG* pVal) = 0;                                      // 30
  virtual HRESULT STDMETHODCALLTYPE put_SourceIncrement(LONG val) = 0;                                        // 31
  virtual HRESULT STDMETHODCALLTYPE In8(SHORT space, LONG offset, BYTE* pVal8) = 0;                           // 32
  virtual HRESULT STDMETHODCALLTYPE In16(SHORT space, LONG offset, SHORT* pVal16) = 0;                        // 33
  virtual HRESULT STDMETHODCALLTYPE In32(SHORT space, LONG offset, LONG* pVal32) = 0;                         // 34
  virtual HRESULT STDMETHODCALLTYPE Out8(SHORT space, LONG offset, BYTE val8) = 0;                            // 35
  virtual HRESULT STDMETHODCALLTYPE Out16(SHORT space, LONG offset, SHORT val16) = 0;                         // 36
  virtual HRESULT STDMETHODCALLTYPE Out32(SHORT space, LONG offset, LONG val32) = 0;                          // 37
  virtual HRESULT STDMETHODCALLTYPE MoveIn8(SHORT space, LONG offset, LONG length, SAFEARRAY** pBuf8) = 0;    // 38
  virtual HRESULT STDMETHODCALLTYPE MoveIn16(SHORT space, LONG offset, LONG length, SAFEARRAY** pBuf16) = 0;  // 39
  virtual HRESULT STDMETHODCALLTYPE MoveIn32(SHORT space, LONG offset, LONG length, SAFEARRAY** pBuf32) = 0;  // 40
  virtual HRESULT STDMETHODCALLTYPE MoveOut8(SHORT space, LONG offset, LONG length, SAFEARRAY** buf8) = 0;    // 41
  virtual HRESULT STDMETHODCALLTYPE MoveOut16(SHORT space, LONG offset, LONG length, SAFEARRAY** buf16) = 0;  // 42
  virtual HRESULT STDMETHODCALLTYPE MoveOut32(SHORT space, LONG offset, LONG length, SAFEARRAY** buf32) = 0;  // 43
  virtual HRESULT STDMETHODCALLTYPE Move(SHORT srcSpace, LONG srcOffset, DataWidth srcWidth, SHORT destSpace,
                                         LONG destOffset, DataWidth destWidth, LONG srcLength) = 0;  // 44
};

struct ISharedRegister : public IVisaSession {
  virtual HRESULT STDMETHODCALLTYPE AllocateMemory(LONG size, LONG* pOffset) = 0;  // 24
  virtual HRESULT STDMETHODCALLTYPE FreeMemory(LONG offset) = 0;                   // 25
};

// ---- Extension of the built-in provider (not part of VISA-COM) ----

// Message sessions of the built-in provider also answer QueryInterface for this interface. It
// moves bytes straight between the caller's memory and the connection, sparing the SAFEARRAY
// that IMessage::Read and Write need per call, which matters for multi-megabyte waveform blocks.
// Callers fall back to IMessage where QueryInterface fails (a system VISA-COM library).
inline constexpr GUID IID_IKorvaneMessageDirect = {0x5C557849,
                                                   0xADEF,
                                                   0x47C1,
                                                   {0xBB, 0x0C, 0xA4, 0x86, 0x9A, 0x8F, 0xEB, 0x82}};

struct IKorvaneMessageDirect : public IUnknown {
  // As IMessage::Read, into buffer[0, count): S_VISA_TERM_CHAR, S_VISA_MAX_CNT or S_OK (END)
  // with *pRetCount bytes stored; on failure *pRetCount is 0 and nothing is consumed.
  virtual HRESULT STDMETHODCALLTYPE ReadInto(BYTE* buffer, LONG count, LONG* pRetCount) = 0;  // 3
  // As IMessage::Write.
  virtual HRESULT STDMETHODCALLTYPE WriteFrom(const BYTE* buffer, LONG count, LONG* pRetCount) = 0;  // 4
};

// The IIDs by type, for typed queries (korvane::IidOf).
KORVANE_IID_OF(IResourceManager);
KORVANE_IID_OF(IResourceManager3);
KORVANE_IID_OF(IVisaSession);
KORVANE_IID_OF(IBaseMessage);
KORVANE_IID_OF(IMessage);
KORVANE_IID_OF(IAsyncMessage);
KORVANE_IID_OF(IRegister);
KORVANE_IID_OF(ISharedRegister);
KORVANE_IID_OF(IEvent);
KORVANE_IID_OF(IEventHandler);
KORVANE_IID_OF(IEventManager);
KORVANE_IID_OF(IFormattedIO488);
KORVANE_IID_OF(IKorvaneMessageDirect);

// ---- VISA attribute identifiers and constants the sessions understand ----

namespace korvane::visa {

inline constexpr LONG Attr(unsigned long v) { return static_cast<LONG>(v); }

inline constexpr LONG VI_ATTR_RSRC_CLASS = Attr(0xBFFF0001UL);
inline constexpr LONG VI_ATTR_RSRC_NAME = Attr(0xBFFF0002UL);
inline constexpr LONG VI_ATTR_RSRC_IMPL_VERSION = Attr(0x3FFF0003UL);
inline constexpr LONG VI_ATTR_RSRC_LOCK_STATE = Attr(0x3FFF0004UL);
inline constexpr LONG VI_ATTR_MAX_QUEUE_LENGTH = Attr(0x3FFF0005UL);
inline constexpr LONG VI_ATTR_SEND_END_EN = Attr(0x3FFF0016UL);
inline constexpr LONG VI_ATTR_TERMCHAR = Attr(0x3FFF0018UL);
inline constexpr LONG VI_ATTR_TMO_VALUE = Attr(0x3FFF001AUL);
inline constexpr LONG VI_ATTR_IO_PROT = Attr(0x3FFF001CUL);
inline constexpr LONG VI_ATTR_ASRL_BAUD = Attr(0x3FFF0021UL);
inline constexpr LONG VI_ATTR_ASRL_DATA_BITS = Attr(0x3FFF0022UL);
inline constexpr LONG VI_ATTR_ASRL_PARITY = Attr(0x3FFF0023UL);
inline constexpr LONG VI_ATTR_ASRL_STOP_BITS = Attr(0x3FFF0024UL);
inline constexpr LONG VI_ATTR_ASRL_FLOW_CNTRL = Attr(0x3FFF0025UL);
inline constexpr LONG VI_ATTR_SUPPRESS_END_EN = Attr(0x3FFF0036UL);
inline constexpr LONG VI_ATTR_TERMCHAR_EN = Attr(0x3FFF0038UL);
inline constexpr LONG VI_ATTR_MANF_ID = Attr(0x3FFF00D9UL);
inline constexpr LONG VI_ATTR_INTF_INST_NAME = Attr(0xBFFF00E9UL);
inline constexpr LONG VI_ATTR_RSRC_SPEC_VERSION = Attr(0x3FFF0170UL);
inline constexpr LONG VI_ATTR_INTF_TYPE = Attr(0x3FFF0171UL);
inline constexpr LONG VI_ATTR_RSRC_MANF_NAME = Attr(0xBFFF0174UL);
inline constexpr LONG VI_ATTR_RSRC_MANF_ID = Attr(0x3FFF0175UL);
inline constexpr LONG VI_ATTR_INTF_NUM = Attr(0x3FFF0176UL);
inline constexpr LONG VI_ATTR_TCPIP_ADDR = Attr(0xBFFF0195UL);
inline constexpr LONG VI_ATTR_TCPIP_HOSTNAME = Attr(0xBFFF0196UL);
inline constexpr LONG VI_ATTR_TCPIP_PORT = Attr(0x3FFF0197UL);
inline constexpr LONG VI_ATTR_TCPIP_DEVICE_NAME = Attr(0xBFFF0199UL);
inline constexpr LONG VI_ATTR_TCPIP_NODELAY = Attr(0x3FFF019AUL);
inline constexpr LONG VI_ATTR_TCPIP_KEEPALIVE = Attr(0x3FFF019BUL);
inline constexpr LONG VI_ATTR_TCPIP_HISLIP_OVERLAP_EN = Attr(0x3FFF0300UL);
inline constexpr LONG VI_ATTR_TCPIP_HISLIP_VERSION = Attr(0x3FFF0301UL);
inline constexpr LONG VI_ATTR_TCPIP_HISLIP_MAX_MESSAGE_KB = Attr(0x3FFF0302UL);
inline constexpr LONG VI_ATTR_TCPIP_IS_HISLIP = Attr(0x3FFF0303UL);
inline constexpr LONG VI_ATTR_EVENT_TYPE = Attr(0x3FFF4010UL);
// Korvane's own: the status byte a service request event came with, and the service requests
// a session's handlers missed because their queue was full.
inline constexpr LONG VI_ATTR_KV_STATUS_BYTE = Attr(0x3FFFC001UL);
inline constexpr LONG VI_ATTR_KV_EVENT_OVERFLOWS = Attr(0x3FFFC002UL);

inline constexpr SHORT VI_INTF_GPIB = 1;
inline constexpr SHORT VI_INTF_VXI = 2;
inline constexpr SHORT VI_INTF_GPIB_VXI = 3;
inline constexpr SHORT VI_INTF_ASRL = 4;
inline constexpr SHORT VI_INTF_PXI = 5;
inline constexpr SHORT VI_INTF_TCPIP = 6;
inline constexpr SHORT VI_INTF_USB = 7;

inline constexpr SHORT VI_ASRL_PAR_NONE = 0;
inline constexpr SHORT VI_ASRL_PAR_ODD = 1;
inline constexpr SHORT VI_ASRL_PAR_EVEN = 2;
inline constexpr SHORT VI_ASRL_PAR_MARK = 3;
inline constexpr SHORT VI_ASRL_PAR_SPACE = 4;
inline constexpr SHORT VI_ASRL_STOP_ONE = 10;
inline constexpr SHORT VI_ASRL_STOP_ONE5 = 15;
inline constexpr SHORT VI_ASRL_STOP_TWO = 20;
inline constexpr SHORT VI_ASRL_FLOW_NONE = 0;
inline constexpr SHORT VI_ASRL_FLOW_XON_XOFF = 1;
inline constexpr SHORT VI_ASRL_FLOW_RTS_CTS = 2;
inline constexpr SHORT VI_ASRL_FLOW_DTR_DSR = 4;

}  // namespace korvane::visa
