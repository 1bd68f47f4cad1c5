// The VISA-flavoured and VISA-COM-specific extensions of the I/O session. Each layer's values
// (interface types, protocols, lock modes, event types and mechanisms, trigger protocols) are its
// own small numbers, mapped to VISA's at the boundary, so that callers never depend on one VISA
// implementation's constants.
#pragma once

#include "io/IoSession.h"

#include <cstdint>

struct IVisaSession;
struct IFormattedIO488;
struct IMessage;
struct IAsyncMessage;
struct IRegister;
struct ISharedRegister;
struct IEventManager;
struct IEventHandler;

namespace korvane {

// ---- VISA layer ----

// I/O protocols, VISA's 1-5.
enum IoProtocol : LONG {
  kProtocolNormal = 0,
  kProtocolFdc,
  kProtocolHs488,
  kProtocol4882Strings,
  kProtocolUsbtmcVendor
};
// Trigger protocols of AssertTrigger: VISA's default 0, on 1, off 2, sync 5.
enum IoTriggerProtocol : LONG { kTriggerDefault = 0, kTriggerOn, kTriggerOff, kTriggerSync };
// Register data widths in bytes.
enum IoDataWidth : LONG { kWidth8 = 1, kWidth16 = 2, kWidth32 = 4, kWidth64 = 8 };
// Register address spaces are VISA's own numbers (local 0, A16 1 ... A64 4, PXI allocated 9,
// PXI configuration 10, PXI BAR0-BAR5 11-16, opaque 0xFFFF).
inline constexpr bool IsVisaAddressSpace(short space) noexcept {
  return (space >= 0 && space <= 4) || (space >= 9 && space <= 16) || static_cast<unsigned short>(space) == 0xFFFF;
}

struct IVisaIoSession : public virtual IIoSession {
  virtual HRESULT Clear() = 0;
  virtual HRESULT AssertTrigger(LONG lProtocol) = 0;
  virtual HRESULT SetProtocol(LONG eProtocol) = 0;
};

struct IVisaLowLevelIo : public virtual ILowLevelIo {
  // Asynchronous transfers; completion arrives as an I/O-completion event carrying the job id.
  virtual HRESULT ReadAsync(LONG lCount, LONG* plJobId) = 0;
  virtual HRESULT WriteAsync(const BYTE* pBuf, LONG lCount, LONG* plJobId) = 0;
  virtual HRESULT TerminateAsync(LONG lJobId) = 0;

 protected:
  ~IVisaLowLevelIo() = default;
};

struct IVisaSessionInfo {
  virtual HRESULT GetLastStatus(HRESULT* pStatus) = 0;
  virtual HRESULT GetProtocol(LONG* peProtocol) = 0;
  virtual HRESULT GetInterfaceType(short* peType) = 0;
  virtual HRESULT GetInterfaceNumber(USHORT* pusNumber) = 0;
  virtual HRESULT GetManufacturerId(USHORT* pusId) = 0;
  // Attributes by VISA id, converted to the type asked for.
  virtual HRESULT GetAttribute(LONG lAttribute, BYTE* pValue) = 0;
  virtual HRESULT GetAttribute(LONG lAttribute, USHORT* pValue) = 0;
  virtual HRESULT GetAttribute(LONG lAttribute, ULONG* pValue) = 0;
  virtual HRESULT GetAttribute(LONG lAttribute, ULONGLONG* pValue) = 0;
  virtual HRESULT GetAttribute(LONG lAttribute, VARIANT_BOOL* pValue) = 0;

 protected:
  ~IVisaSessionInfo() = default;
};

// Register-based access. Offsets are 64-bit here; VISA-COM takes 32 bits.
struct IVisaMemoryIo {
  virtual HRESULT In8(short space, ULONGLONG offset, BYTE* pValue) = 0;
  virtual HRESULT In16(short space, ULONGLONG offset, short* pValue) = 0;
  virtual HRESULT In32(short space, ULONGLONG offset, LONG* pValue) = 0;
  virtual HRESULT In64(short space, ULONGLONG offset, LONGLONG* pValue) = 0;
  virtual HRESULT Out8(short space, ULONGLONG offset, BYTE value) = 0;
  virtual HRESULT Out16(short space, ULONGLONG offset, short value) = 0;
  virtual HRESULT Out32(short space, ULONGLONG offset, LONG value) = 0;
  virtual HRESULT Out64(short space, ULONGLONG offset, LONGLONG value) = 0;
  virtual HRESULT MoveIn8(short space, ULONGLONG offset, LONG lCount, BYTE* pDest) = 0;
  virtual HRESULT MoveIn16(short space, ULONGLONG offset, LONG lCount, short* pDest) = 0;
  virtual HRESULT MoveIn32(short space, ULONGLONG offset, LONG lCount, LONG* pDest) = 0;
  virtual HRESULT MoveIn64(short space, ULONGLONG offset, LONG lCount, LONGLONG* pDest) = 0;
  virtual HRESULT MoveOut8(short space, ULONGLONG offset, LONG lCount, const BYTE* pSource) = 0;
  virtual HRESULT MoveOut16(short space, ULONGLONG offset, LONG lCount, const short* pSource) = 0;
  virtual HRESULT MoveOut32(short space, ULONGLONG offset, LONG lCount, const LONG* pSource) = 0;
  virtual HRESULT MoveOut64(short space, ULONGLONG offset, LONG lCount, const LONGLONG* pSource) = 0;
  // Register to register; widths are IoDataWidth values.
  virtual HRESULT Move(short srcSpace, ULONGLONG srcOffset, LONG srcWidth, short destSpace, ULONGLONG destOffset,
                       LONG destWidth, LONG lCount) = 0;
  virtual HRESULT MoveAsync(short srcSpace, ULONGLONG srcOffset, LONG srcWidth, short destSpace, ULONGLONG destOffset,
                            LONG destWidth, LONG lCount, LONG* plJobId) = 0;
  virtual HRESULT AllocateMemory(LONG lSize, ULONGLONG* pOffset) = 0;
  virtual HRESULT FreeMemory(ULONGLONG offset) = 0;
  virtual HRESULT GetSourceBigEndian(VARIANT_BOOL* pbBigEndian) = 0;
  virtual HRESULT GetDestinationBigEndian(VARIANT_BOOL* pbBigEndian) = 0;
  virtual HRESULT GetSourceIncrement(LONG* plIncrement) = 0;
  virtual HRESULT GetDestinationIncrement(LONG* plIncrement) = 0;

 protected:
  ~IVisaMemoryIo() = default;
};

// ---- VISA-COM layer ----

// Event types and mechanisms of this layer, in VISA-COM's order.
enum IoEventType : LONG {
  kEventIoCompletion = 0,
  kEventTrigger,
  kEventServiceRequest,
  kEventClear,
  kEventException,
  kEventGpibCic,
  kEventGpibTalk,
  kEventGpibListen,
  kEventVxiVmeSysfail,
  kEventVxiVmeSysreset,
  kEventVxiSigp,
  kEventVxiVmeIntr,
  kEventTcpipConnect,
  kEventUsbIntr,
  kEventAllEnabled
};
enum IoEventMechanism : LONG { kMechanismQueue = 0, kMechanismHandler, kMechanismSuspendHandler, kMechanismAll };

struct IVisaComLowLevelIo : public virtual IVisaLowLevelIo {
 protected:
  ~IVisaComLowLevelIo() = default;
};

struct IVisaComSessionInfo : public virtual IVisaSessionInfo {
  // An attribute as VISA-COM gives it; the caller clears the VARIANT.
  virtual HRESULT GetAttributeVariant(LONG lAttribute, VARIANT* pValue) = 0;

 protected:
  ~IVisaComSessionInfo() = default;
};

struct IVisaComMemoryIo : public virtual IVisaMemoryIo {
 protected:
  ~IVisaComMemoryIo() = default;
};

struct IVisaComEventManager {
  virtual HRESULT EnableEvent(LONG eType, LONG eMechanism) = 0;
  virtual HRESULT DisableEvent(LONG eType, LONG eMechanism) = 0;
  virtual HRESULT DiscardEvents(LONG eType, LONG eMechanism) = 0;
  // The type of the event that arrived goes to `peType` (this layer's number).
  virtual HRESULT WaitOnEvent(LONG eType, LONG lTimeout, LONG* peType) = 0;
  virtual HRESULT InstallHandler(LONG eType, IEventHandler* handler, LONG lUserHandle) = 0;
  virtual HRESULT UninstallHandler(LONG eType, LONG lUserHandle) = 0;
  virtual HRESULT GetMaximumQueueLength(LONG* plLength) = 0;
  virtual HRESULT SetMaximumQueueLength(LONG lLength) = 0;

 protected:
  ~IVisaComEventManager() = default;
};

// Direct I/O: the session's VISA-COM objects, and unformatted transfers that bypass the
// instrument buffer and never poll.
struct IVisaComDirectIo {
  virtual HRESULT GetIVisaSessionPointer(IVisaSession** ppVisaSession) = 0;
  virtual HRESULT GetIFormattedIO488Pointer(IFormattedIO488** ppFormatted) = 0;
  virtual HRESULT GetIMessagePointer(IMessage** ppMessage) = 0;
  virtual HRESULT GetIAsyncMessagePointer(IAsyncMessage** ppAsyncMessage) = 0;
  virtual HRESULT GetIRegisterPointer(IRegister** ppRegister) = 0;
  virtual HRESULT GetISharedRegisterPointer(ISharedRegister** ppSharedRegister) = 0;
  virtual HRESULT GetIEventManagerPointer(IEventManager** ppEventManager) = 0;
  virtual HRESULT ReadBytes(LONG lCount, SAFEARRAY** ppsaData) = 0;
  virtual HRESULT ReadBytes(LONG lCount, BYTE* pData, LONG* pcbActual) = 0;
  virtual HRESULT ReadString(LONG lCount, BSTR* pbstrData) = 0;
  virtual HRESULT WriteBytes(SAFEARRAY* psaData, LONG* pcbActual) = 0;
  virtual HRESULT WriteBytes(const BYTE* pData, LONG lCount, LONG* pcbActual) = 0;
  virtual HRESULT WriteString(BSTR bstrData) = 0;

 protected:
  ~IVisaComDirectIo() = default;
};

struct IVisaComSession : public virtual IVisaIoSession {
  virtual IVisaComLowLevelIo* GetLowLevelIo() noexcept = 0;
  virtual IVisaComSessionInfo* GetSessionInfo() noexcept = 0;
  virtual IVisaComMemoryIo* GetMemoryIo() noexcept = 0;
  virtual IVisaComDirectIo* GetDirectIo() noexcept = 0;
  virtual IVisaComEventManager* GetEventManager() noexcept = 0;
};

}  // namespace korvane
