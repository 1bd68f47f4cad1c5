// The I/O session the driver session owns: formatted and low-level message I/O over VISA-COM.
//
// CIoSession carries what every session has (instrument buffer, format engine, status check,
// per-transfer timeouts); CVisaComSession moves the bytes through the VISA-COM interfaces;
// cKorvaneVisaComSession adds the decision for modular instruments, which are reached through
// their module manager instead of the resource manager.
#pragma once

#include "io/FormattedIo.h"
#include "io/InstrBuffer.h"
#include "io/IoSession.h"
#include "io/VisaIo.h"
#include "visacom/VisaCom.h"

#include <korvane/ComHelpers.h>

#include <memory>
#include <string>

namespace korvane {

class CIoSession : public virtual IIoSession, public virtual ILowLevelIo {
 public:
  CIoSession() noexcept;
  ~CIoSession() override;

  HRESULT Open(const char* resourceName, IInstrErrorPoller* poller, IErrorReporter* reporter,
               ICallContextProvider* context) override;
  HRESULT Close() override;

  HRESULT Formatted(const char* command, const char* response, format::ArgList args) override;

  // The status check: the poller's, when connected.
  HRESULT CheckStatus() override;

  KORVANE_IO_VALUE_TYPES(KORVANE_IO_DECLARE_OVERRIDE)
  HRESULT WriteList(const char* command, SAFEARRAY* psaValues, bool poll) override;
  HRESULT WriteBlock(const char* command, SAFEARRAY* psaValues, bool poll) override;

  // Transfers of the status check: through the instrument buffer, never polling.
  HRESULT WriteCommandNoPoll(const char* command, LONG lTimeout) override;
  HRESULT ReadLineNoPoll(std::string* line, LONG lTimeout) override;

  // Polling forms of the low-level transfers: the transfer, then the status check.
  HRESULT LowLevelRead(BYTE* pBuf, LONG lCount, LONG* plActual, LONG lTimeout) override;
  HRESULT LowLevelRead(LONG lCount, SAFEARRAY** ppsaBuf, LONG* plActual, LONG lTimeout) override;
  HRESULT LowLevelReadString(LONG lCount, BSTR* pbstrBuf, LONG* plActual, LONG lTimeout) override;
  HRESULT LowLevelWrite(const BYTE* pBuf, LONG lCount, LONG* plActual, LONG lTimeout) override;
  HRESULT LowLevelWrite(SAFEARRAY* psaBuf, LONG lCount, LONG* plActual, LONG lTimeout) override;
  HRESULT LowLevelWriteString(BSTR bstrBuf, LONG* plActual, LONG lTimeout) override;
  HRESULT FlushInstrBuffer() override;

  HRESULT GetReadTerminator(std::string* terminator);
  HRESULT SetReadTerminator(const std::string& terminator);
  HRESULT GetWriteTerminator(std::string* terminator);
  HRESULT SetWriteTerminator(const std::string& terminator);

  void SetEnumFormatter(IEnumFormatter* enums) noexcept override;
  HRESULT GetSwapBytes(bool* swap) override;
  HRESULT SetSwapBytes(bool swap) override;
  bool IsConnected() const noexcept { return buffer_ != nullptr; }
  void SetIoLog(std::shared_ptr<CIoLog> log) noexcept override { log_ = std::move(log); }
  CInstrBuffer* InstrBuffer() noexcept { return buffer_.get(); }

 protected:
  IErrorReporter* Reporter() const noexcept { return reporter_; }
  CIoLog* IoLog() const noexcept { return log_.get(); }
  // Reports message 0x0c when the session is closed; S_OK when it is open.
  HRESULT RequireOpen();
  // The base part of closing: the buffer and the terminators go.
  void CloseBase() noexcept;
  // Message 0x16 for a null pointer argument of `operation`.
  HRESULT MissingOutput(const char* operation, const char* parameter);

 private:
  HRESULT WriteAndFlush(const char* format, format::ArgList* args);
  HRESULT ReadFormatted(const char* format, format::ArgList* args);
  // Formatted write and read without the status check, for the typed families.
  template <typename... A>
  HRESULT Write(const char* format, A... args) {
    auto list = format::Args(args...);
    format::ArgList cursor(list);
    return WriteAndFlush(format, &cursor);
  }
  template <typename... A>
  HRESULT Read(const char* format, A... args) {
    auto list = format::Args(args...);
    format::ArgList cursor(list);
    return ReadFormatted(format, &cursor);
  }

  // The typed families, one template each (TypedIo.cpp).
  template <typename T>
  HRESULT TypedWrite(const char* command, T value, bool poll);
  template <typename T>
  HRESULT TypedWriteList(const char* command, const T* values, LONG count, bool poll);
  template <typename T>
  HRESULT TypedWriteBlock(const char* command, const T* values, LONG count, bool poll);
  template <typename T>
  HRESULT TypedRead(T* value);
  template <typename T>
  HRESULT TypedReadList(T* values, LONG* count);
  template <typename T>
  HRESULT TypedReadList(SAFEARRAY** values);
  template <typename T>
  HRESULT TypedReadBlock(T* values, LONG* count);
  template <typename T>
  HRESULT TypedReadBlock(SAFEARRAY** values);
  template <typename Fn>
  HRESULT QueryThen(const char* command, bool poll, Fn&& read);
  template <typename Fn>
  HRESULT WithSafeArrayElements(const char* operation, SAFEARRAY* values, Fn&& fn);

  IInstrErrorPoller* poller_ = nullptr;
  IErrorReporter* reporter_ = nullptr;
  ICallContextProvider* context_ = nullptr;
  std::unique_ptr<CInstrBuffer> buffer_;
  std::string readTerminator_ = "\n";
  std::string writeTerminator_ = "\n";
  CFormattedIo engine_;
  IEnumFormatter* enums_ = nullptr;
  std::shared_ptr<CIoLog> log_;
};

// The VISA layer: the interface numbering of this layer and the protocol mapping.
class CVisaSession : public virtual CIoSession,
                     public virtual IVisaIoSession,
                     public virtual IVisaLowLevelIo,
                     public virtual IVisaSessionInfo,
                     public virtual IVisaMemoryIo {
 public:
  // This layer's interface types (0 GPIB ... 5 TCPIP, 6 USB, 8 other).
  enum InterfaceType : short {
    kGpib = 0,
    kVxi = 1,
    kGpibVxi = 2,
    kSerial = 3,
    kPxi = 4,
    kTcpip = 5,
    kUsb = 6,
    kOther = 8
  };
  static short MapInterfaceType(short visaType) noexcept;
  // This layer's values to VISA's and back; false for a value outside the supported set.
  static bool ToVisaProtocol(LONG layer, LONG* visa) noexcept;
  static bool FromVisaProtocol(LONG visa, LONG* layer) noexcept;
  static bool ToVisaAccessMode(LONG layer, LONG* visa) noexcept;
  static bool ToVisaTriggerProtocol(LONG layer, LONG* visa) noexcept;

  HRESULT DeviceClear() override { return Clear(); }
};

class CVisaComSession : public IVisaComSession,
                        public IVisaComEventManager,
                        public IVisaComDirectIo,
                        public CVisaSession,
                        public IVisaComLowLevelIo,
                        public IVisaComSessionInfo,
                        public IVisaComMemoryIo {
 public:
  CVisaComSession() noexcept;
  ~CVisaComSession() override;

  HRESULT Open(const char* resourceName, IInstrErrorPoller* poller, IErrorReporter* reporter,
               ICallContextProvider* context) override;
  HRESULT Close() override;

  // ---- IVisaComSession
  IVisaComLowLevelIo* GetLowLevelIo() noexcept override { return this; }
  IVisaComSessionInfo* GetSessionInfo() noexcept override { return this; }
  IVisaComMemoryIo* GetMemoryIo() noexcept override { return this; }
  IVisaComDirectIo* GetDirectIo() noexcept override { return this; }
  IVisaComEventManager* GetEventManager() noexcept override { return this; }
  // The VISA status of the last call on the VISA-COM session.
  HRESULT GetLastStatus(HRESULT* pStatus) override;

  // ---- IIoSession / IVisaIoSession
  HRESULT ReadStatusBte(short* psStatusByte) override;
  HRESULT GetTimeout(LONG* plTimeout) override;
  HRESULT SetTimeout(LONG lTimeout) override;
  HRESULT Lock(LONG lAccessMode, LONG lTimeout, const char* requestedKey, std::string* accessKey) override;
  HRESULT Unlock() override;
  HRESULT Clear() override;
  HRESULT AssertTrigger(LONG lProtocol) override;
  HRESULT SetProtocol(LONG eProtocol) override;

  // ---- ILowLevelIo / IVisaLowLevelIo
  HRESULT GetTerminationCharacter(BYTE* pcTermChar) override;
  HRESULT SetTerminationCharacter(BYTE cTermChar) override;
  HRESULT GetTerminationCharacterEnabled(VARIANT_BOOL* pbEnabled) override;
  HRESULT SetTerminationCharacterEnabled(VARIANT_BOOL bEnabled) override;
  HRESULT GetSendEndEnabled(VARIANT_BOOL* pbEnabled) override;
  HRESULT SetSendEndEnabled(VARIANT_BOOL bEnabled) override;

  HRESULT LowLevelReadNoPoll(BYTE* pBuf, LONG lCount, LONG* plActual, LONG lTimeout) override;
  HRESULT LowLevelReadNoPoll(LONG lCount, SAFEARRAY** ppsaBuf, LONG* plActual, LONG lTimeout) override;
  HRESULT LowLevelReadStringNoPoll(LONG lCount, BSTR* pbstrBuf, LONG* plActual, LONG lTimeout) override;
  HRESULT LowLevelWriteNoPoll(const BYTE* pBuf, LONG lCount, LONG* plActual, LONG lTimeout) override;
  HRESULT LowLevelWriteNoPoll(SAFEARRAY* psaBuf, LONG lCount, LONG* plActual, LONG lTimeout) override;
  HRESULT LowLevelWriteStringNoPoll(BSTR bstrBuf, LONG* plActual, LONG lTimeout) override;

  HRESULT ReadAsync(LONG lCount, LONG* plJobId) override;
  HRESULT WriteAsync(const BYTE* pBuf, LONG lCount, LONG* plJobId) override;
  HRESULT TerminateAsync(LONG lJobId) override;

  // ---- IVisaSessionInfo / IVisaComSessionInfo
  HRESULT GetProtocol(LONG* peProtocol) override;
  HRESULT GetInterfaceType(short* peType) override;
  HRESULT GetInterfaceNumber(USHORT* pusNumber) override;
  HRESULT GetManufacturerId(USHORT* pusId) override;
  HRESULT GetAttribute(LONG lAttribute, BYTE* pValue) override;
  HRESULT GetAttribute(LONG lAttribute, USHORT* pValue) override;
  HRESULT GetAttribute(LONG lAttribute, ULONG* pValue) override;
  HRESULT GetAttribute(LONG lAttribute, ULONGLONG* pValue) override;
  HRESULT GetAttribute(LONG lAttribute, VARIANT_BOOL* pValue) override;
  HRESULT GetAttributeVariant(LONG lAttribute, VARIANT* pValue) override;

  // ---- IVisaMemoryIo
  HRESULT In8(short space, ULONGLONG offset, BYTE* pValue) override;
  HRESULT In16(short space, ULONGLONG offset, short* pValue) override;
  HRESULT In32(short space, ULONGLONG offset, LONG* pValue) override;
  HRESULT In64(short space, ULONGLONG offset, LONGLONG* pValue) override;
  HRESULT Out8(short space, ULONGLONG offset, BYTE value) override;
  HRESULT Out16(short space, ULONGLONG offset, short value) override;
  HRESULT Out32(short space, ULONGLONG offset, LONG value) override;
  HRESULT Out64(short space, ULONGLONG offset, LONGLONG value) override;
  HRESULT MoveIn8(short space, ULONGLONG offset, LONG lCount, BYTE* pDest) override;
  HRESULT MoveIn16(short space, ULONGLONG offset, LONG lCount, short* pDest) override;
  HRESULT MoveIn32(short space, ULONGLONG offset, LONG lCount, LONG* pDest) override;
  HRESULT MoveIn64(short space, ULONGLONG offset, LONG lCount, LONGLONG* pDest) override;
  HRESULT MoveOut8(short space, ULONGLONG offset, LONG lCount, const BYTE* pSource) override;
  HRESULT MoveOut16(short space, ULONGLONG offset, LONG lCount, const short* pSource) override;
  HRESULT MoveOut32(short space, ULONGLONG offset, LONG lCount, const LONG* pSource) override;
  HRESULT MoveOut64(short space, ULONGLONG offset, LONG lCount, const LONGLONG* pSource) override;
  HRESULT Move(short srcSpace, ULONGLONG srcOffset, LONG srcWidth, short destSpace, ULONGLONG destOffset,
               LONG destWidth, LONG lCount) override;
  HRESULT MoveAsync(short srcSpace, ULONGLONG srcOffset, LONG srcWidth, short destSpace, ULONGLONG destOffset,
                    LONG destWidth, LONG lCount, LONG* plJobId) override;
  HRESULT AllocateMemory(LONG lSize, ULONGLONG* pOffset) override;
  HRESULT FreeMemory(ULONGLONG offset) override;
  HRESULT GetSourceBigEndian(VARIANT_BOOL* pbBigEndian) override;
  HRESULT GetDestinationBigEndian(VARIANT_BOOL* pbBigEndian) override;
  HRESULT GetSourceIncrement(LONG* plIncrement) override;
  HRESULT GetDestinationIncrement(LONG* plIncrement) override;

  // ---- IVisaComEventManager
  HRESULT EnableEvent(LONG eType, LONG eMechanism) override;
  HRESULT DisableEvent(LONG eType, LONG eMechanism) override;
  HRESULT DiscardEvents(LONG eType, LONG eMechanism) override;
  HRESULT WaitOnEvent(LONG eType, LONG lTimeout, LONG* peType) override;
  HRESULT InstallHandler(LONG eType, IEventHandler* handler, LONG lUserHandle) override;
  HRESULT UninstallHandler(LONG eType, LONG lUserHandle) override;
  HRESULT GetMaximumQueueLength(LONG* plLength) override;
  HRESULT SetMaximumQueueLength(LONG lLength) override;

  // ---- IVisaComDirectIo: the session's VISA-COM objects, with a reference added (null when absent)
  HRESULT GetIVisaSessionPointer(IVisaSession** ppVisaSession) override;
  HRESULT GetIFormattedIO488Pointer(IFormattedIO488** ppFormatted) override;
  HRESULT GetIMessagePointer(IMessage** ppMessage) override;
  HRESULT GetIAsyncMessagePointer(IAsyncMessage** ppAsyncMessage) override;
  HRESULT GetIRegisterPointer(IRegister** ppRegister) override;
  HRESULT GetISharedRegisterPointer(ISharedRegister** ppSharedRegister) override;
  HRESULT GetIEventManagerPointer(IEventManager** ppEventManager) override;
  HRESULT ReadBytes(LONG lCount, SAFEARRAY** ppsaData) override;
  HRESULT ReadBytes(LONG lCount, BYTE* pData, LONG* pcbActual) override;
  HRESULT ReadString(LONG lCount, BSTR* pbstrData) override;
  HRESULT WriteBytes(SAFEARRAY* psaData, LONG* pcbActual) override;
  HRESULT WriteBytes(const BYTE* pData, LONG lCount, LONG* pcbActual) override;
  HRESULT WriteString(BSTR bstrData) override;

  // Which provider the last Open used: true for the driver's built-in one.
  bool UsedBuiltInProvider() const noexcept { return builtInProvider_; }

 protected:
  // Opening through the resource manager, after the base part.
  HRESULT OpenVisaCom(const char* resourceName);
  // Interface type, resource class and the termination settings of serial and socket sessions.
  HRESULT PostOpenConfiguration();
  HRESULT CreateResourceManager(ComPtr<IResourceManager>& rm);
  HRESULT AttachFormattedIo();
  // The optional interfaces and the copy-free path, from whichever object serves the session.
  void QueryOptionalMembers(const ComPtr<IUnknown>& source);
  void ReleaseMembers() noexcept;

  ComPtr<IVisaSession> visaSession_;
  ComPtr<IFormattedIO488> formattedIo_;
  ComPtr<IMessage> message_;
  ComPtr<IAsyncMessage> asyncMessage_;
  ComPtr<IRegister> register_;
  ComPtr<ISharedRegister> sharedRegister_;
  ComPtr<IEventManager> eventManager_;
  ComPtr<IKorvaneMessageDirect> direct_;  // the built-in provider's copy-free path, when offered

 private:
  // Sets a transfer timeout for one call and puts the old one back, whatever the call returns.
  HRESULT ReadRaw(BYTE* pBuf, LONG lCount, LONG* plActual);
  HRESULT WriteRaw(const BYTE* pBuf, LONG lCount, LONG* plActual);
  HRESULT ReadRawUnlogged(BYTE* pBuf, LONG lCount, LONG* plActual);
  HRESULT WriteRawUnlogged(const BYTE* pBuf, LONG lCount, LONG* plActual);

  // Shared by the VISA and VISA-COM extension operations (VisaComExtensions.cpp, VisaComMemoryIo.cpp).
  // One of this layer's own refusals, where no VISA-COM call failed: message 0x2a with `text`.
  HRESULT Refuse(const char* text);
  // A count or size argument below zero: message 0x08 (invalid value).
  HRESULT NegativeCount(const char* operation, const char* parameter, LONG value);
  template <typename T>
  HRESULT TypedAttribute(const char* operation, const char* parameter, LONG attribute, VARTYPE vt,
                         const char* typeName, T* pValue);
  // Open, and the event type (and mechanism) mapped to VISA-COM's.
  HRESULT MapEvent(LONG eType, LONG* visaType);
  HRESULT MapEvent(LONG eType, LONG eMechanism, LONG* visaType, LONG* visaMechanism);
  // Open, with IRegister, a supported address space and an offset VISA-COM can take.
  HRESULT RegisterAccess(short space, ULONGLONG offset, LONG* visaOffset);
  template <typename T, typename Method>
  HRESULT MoveInVia(const char* operation, Method method, short space, ULONGLONG offset, LONG lCount, T* pDest);
  template <typename T, typename Method>
  HRESULT MoveOutVia(const char* operation, Method method, VARTYPE vt, short space, ULONGLONG offset, LONG lCount,
                     const T* pSource);
  template <typename T, typename Method>
  HRESULT RegisterProperty(const char* operation, const char* parameter, Method method, T* pValue);

  bool builtInProvider_ = false;
  // Whether writes end the message with END, as last set: the I/O log's message boundary.
  bool sendEnd_ = true;
};

class cKorvaneVisaComSession final : public CVisaComSession {
 public:
  static constexpr const char* kModuleManagerProgId = "KorvaneModuleManager.KorvaneModuleManager";

  HRESULT Open(const char* resourceName, IInstrErrorPoller* poller, IErrorReporter* reporter,
               ICallContextProvider* context) override;
  HRESULT Close() override;

  // A resource with ";" in its name, or one the resource manager places on PXI, belongs to a
  // modular instrument.
  static bool IsModularResource(const char* resourceName, IResourceManager* rm);

 private:
  HRESULT OpenModular(const char* resourceName);
  HRESULT CreateModuleManager(ComPtr<IDispatch>& manager);

  ComPtr<IDispatch> moduleManager_;  // set while a session is open through the module manager
  std::string moduleResource_;       // the resource name used with the module manager, empty otherwise
};

}  // namespace korvane
