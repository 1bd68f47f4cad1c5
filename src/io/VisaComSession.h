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

  HRESULT FormattedWrite(const char* format, ...) override;
  HRESULT FormattedWriteV(const char* format, va_list args) override;
  HRESULT FormattedRead(const char* format, ...) override;
  HRESULT FormattedReadV(const char* format, va_list args) override;
  HRESULT FormattedQuery(const char* command, const char* response, ...) override;
  HRESULT FormattedQueryV(const char* command, const char* response, va_list args) override;

  // The status check: the poller's, when connected.
  HRESULT CheckStatus();

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
  CInstrBuffer* InstrBuffer() noexcept { return buffer_.get(); }

 protected:
  IErrorReporter* Reporter() const noexcept { return reporter_; }
  // Reports message 0x0c when the session is closed; S_OK when it is open.
  HRESULT RequireOpen();
  // The base part of closing: the buffer and the terminators go.
  void CloseBase() noexcept;

 private:
  HRESULT WriteAndFlush(const char* format, va_list* args);
  HRESULT ReadFormatted(const char* format, va_list* args);

  IInstrErrorPoller* poller_ = nullptr;
  IErrorReporter* reporter_ = nullptr;
  ICallContextProvider* context_ = nullptr;
  std::unique_ptr<CInstrBuffer> buffer_;
  std::string readTerminator_ = "\n";
  std::string writeTerminator_ = "\n";
  CFormattedIo engine_;
  IEnumFormatter* enums_ = nullptr;
};

// The VISA layer: the interface numbering of this layer and the protocol mapping.
class CVisaSession : public virtual CIoSession {
 public:
  // This layer's interface types (0 GPIB ... 5 TCPIP, 6 USB, 8 other).
  enum InterfaceType : short { kGpib = 0, kVxi = 1, kGpibVxi = 2, kSerial = 3, kPxi = 4, kTcpip = 5, kUsb = 6, kOther = 8 };
  static short MapInterfaceType(short visaType) noexcept;

  virtual HRESULT GetInterfaceType(short* peType) = 0;
  HRESULT ReadStatusByte(short* psStatusByte) override = 0;
  virtual HRESULT Clear() = 0;
  HRESULT DeviceClear() override { return Clear(); }
};

class CVisaComSession : public CVisaSession {
 public:
  CVisaComSession() noexcept;
  ~CVisaComSession() override;

  HRESULT Open(const char* resourceName, IInstrErrorPoller* poller, IErrorReporter* reporter,
               ICallContextProvider* context) override;
  HRESULT Close() override;

  HRESULT GetTimeout(LONG* plTimeout) override;
  HRESULT SetTimeout(LONG lTimeout) override;
  HRESULT GetInterfaceType(short* peType) override;
  HRESULT ReadStatusByte(short* psStatusByte) override;
  HRESULT Clear() override;

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

  // Direct I/O: the session's VISA-COM objects, with a reference added (null when absent).
  HRESULT GetIVisaSessionPointer(IVisaSession** ppVisaSession);
  HRESULT GetIMessagePointer(IMessage** ppMessage);
  HRESULT GetIFormattedIO488Pointer(IFormattedIO488** ppFormatted);
  HRESULT GetIEventManagerPointer(IEventManager** ppEventManager);

  // Which provider the last Open used: true for the driver's built-in one.
  bool UsedBuiltInProvider() const noexcept { return builtInProvider_; }

 protected:
  // Opening through the resource manager, after the base part.
  HRESULT OpenVisaCom(const char* resourceName);
  // Interface type, resource class and the termination settings of serial and socket sessions.
  HRESULT PostOpenConfiguration();
  HRESULT CreateResourceManager(ComPtr<IResourceManager>& rm);
  HRESULT AttachFormattedIo();
  void ReleaseMembers() noexcept;

  ComPtr<IVisaSession> visaSession_;
  ComPtr<IFormattedIO488> formattedIo_;
  ComPtr<IMessage> message_;
  ComPtr<IUnknown> asyncMessage_;
  ComPtr<IUnknown> register_;
  ComPtr<IUnknown> sharedRegister_;
  ComPtr<IEventManager> eventManager_;
  ComPtr<IKorvaneMessageDirect> direct_;  // the built-in provider's copy-free path, when offered

 private:
  // Sets a transfer timeout for one call and puts the old one back, whatever the call returns.
  class TransferTimeout;
  HRESULT ReadBytes(BYTE* pBuf, LONG lCount, LONG* plActual);
  HRESULT WriteBytes(const BYTE* pBuf, LONG lCount, LONG* plActual);

  bool builtInProvider_ = false;
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
