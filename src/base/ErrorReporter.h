// Error reporting: a message id plus its arguments becomes an HRESULT, a message text and the
// calling thread's COM error information, in one call.
//
// Elaborations (elab) may be null or empty; a non-empty one is appended on a second line.
// String arguments of the variadic forms are `const char*`, one per %n insert of the message.
#pragma once

#include "base/CallContext.h"

#include <korvane/ComHelpers.h>
#include <korvane/MessageTable.inc>

#include <concepts>
#include <cstdarg>
#include <string>
#include <type_traits>

namespace korvane {

// The root coclass; its registered ProgID becomes the error source.
inline constexpr CLSID kClsidKorvane = {
    0x4CB3831C, 0x3A71, 0x460D, {0xB4, 0x5F, 0x86, 0x5E, 0x6B, 0x8C, 0x5D, 0x16}};

// Integer types other than bool and LONG: routed to the LONG overloads so that an int argument
// is not ambiguous between LONG and double where LONG is `long`.
template <typename T>
concept OtherInteger = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, LONG>;

struct IErrorReporter {
  virtual HRESULT ReportWithText(HRESULT hr, const char* text) = 0;
  virtual HRESULT Report(unsigned id, ...) = 0;
  virtual HRESULT ReportV(unsigned id, va_list args) = 0;
  virtual HRESULT ReportElab(unsigned id, const char* elab, ...) = 0;
  virtual HRESULT ReportElabV(unsigned id, const char* elab, va_list args) = 0;
  virtual HRESULT IoError(const char* detail) = 0;
  virtual HRESULT IoTimeout(const char* detail) = 0;
  virtual HRESULT NotSupportedByModel(const char* feature, const char* elab = nullptr) = 0;
  virtual HRESULT MethodNotSupported(const char* method, const char* elab) = 0;
  virtual HRESULT MethodNotSupported(const char* elab) = 0;
  virtual HRESULT PropertyNotSupported(const char* property, const char* elab) = 0;
  virtual HRESULT PropertyNotSupported(const char* elab) = 0;
  virtual HRESULT InvalidValue(const char* method, const char* parameter, bool value, const char* elab) = 0;
  virtual HRESULT InvalidValue(const char* method, const char* parameter, LONG value, const char* format,
                               const char* elab) = 0;
  virtual HRESULT InvalidValue(const char* method, const char* parameter, double value, const char* format,
                               const char* elab) = 0;
  virtual HRESULT InvalidValue(const char* method, const char* parameter, const char* value, const char* elab) = 0;
  virtual HRESULT InvalidValue(const char* method, const char* parameter, const OLECHAR* value,
                               const char* elab) = 0;
  virtual HRESULT InvalidValue(const char* method, const char* parameter, const VARIANT& value,
                               const char* elab) = 0;
  // Without a method: the method being served is named.
  virtual HRESULT InvalidValue(const char* parameter, bool value, const char* elab) = 0;
  virtual HRESULT InvalidValue(const char* parameter, LONG value, const char* format, const char* elab) = 0;
  virtual HRESULT InvalidValue(const char* parameter, double value, const char* format, const char* elab) = 0;
  virtual HRESULT InvalidValue(const char* parameter, const char* value, const char* elab) = 0;
  virtual HRESULT InvalidValue(const char* parameter, const OLECHAR* value, const char* elab) = 0;
  virtual HRESULT InvalidValue(const char* parameter, const VARIANT& value, const char* elab) = 0;
  virtual HRESULT AlreadyInitialized(const char* elab = nullptr) = 0;
  virtual HRESULT OptionNameUnknown(const char* name, const char* elab = nullptr) = 0;
  virtual HRESULT OptionValueUnknown(const char* value, const char* elab = nullptr) = 0;
  virtual HRESULT SelectorBadlyFormed(const char* elab = nullptr) = 0;
  virtual HRESULT SimulationStateCannotChange(const char* elab = nullptr) = 0;
  virtual HRESULT CannotOpenFile(const char* elab = nullptr) = 0;
  virtual HRESULT UnrecoverableFailure(const char* elab = nullptr) = 0;
  virtual HRESULT ChannelNameRequired(const char* elab = nullptr) = 0;
  virtual HRESULT FileNotFound(const char* elab = nullptr) = 0;
  virtual HRESULT IdQueryFailed(const char* elab = nullptr) = 0;
  virtual HRESULT InstrumentErrorDetected(const char* elab = nullptr) = 0;
  virtual HRESULT InvalidFileFormat(const char* elab = nullptr) = 0;
  virtual HRESULT SelectorLevelsInvalid(const char* repcap, const char* elab = nullptr) = 0;
  virtual HRESULT PathNameInvalid(const char* elab = nullptr) = 0;
  virtual HRESULT SelectorRangeInvalid(const char* range, const char* repcap, const char* elab = nullptr) = 0;
  virtual HRESULT OptionMissingName(const char* elab = nullptr) = 0;
  virtual HRESULT OptionMissingValue(const char* elab = nullptr) = 0;
  virtual HRESULT NotInitialized(const char* elab = nullptr) = 0;
  virtual HRESULT NullPointer(const char* parameter, const char* elab) = 0;
  virtual HRESULT NullPointer(const char* method, const char* parameter, const char* elab) = 0;
  virtual HRESULT OperationInProgress(const char* elab = nullptr) = 0;
  virtual HRESULT OutOfMemory(const char* elab = nullptr) = 0;
  virtual HRESULT FileReadError(const char* elab = nullptr) = 0;
  virtual HRESULT ResetFailed(const char* elab = nullptr) = 0;
  virtual HRESULT UnknownResource(const char* elab = nullptr) = 0;
  virtual HRESULT StatusNotAvailable(const char* elab = nullptr) = 0;
  virtual HRESULT TooManyFilesOpen(const char* elab = nullptr) = 0;
  virtual HRESULT UnexpectedResponse(const char* elab = nullptr) = 0;
  virtual HRESULT UnknownChannelName(const char* elab = nullptr) = 0;
  virtual HRESULT UnknownNameInSelector(const char* elab = nullptr) = 0;
  virtual HRESULT UnknownPhysicalSelector(const char* elab = nullptr) = 0;
  virtual HRESULT EnumValueNotSupported(const char* value, const char* parameter, const char* elab) = 0;
  virtual HRESULT EnumValueNotSupported(const char* value, const char* parameter, const char* method,
                                        const char* elab) = 0;
  virtual HRESULT FileWriteError(const char* elab = nullptr) = 0;
  virtual HRESULT ErrorQueryNotSupported(const char* elab = nullptr) = 0;
  virtual HRESULT IdQueryNotSupported(const char* elab = nullptr) = 0;
  virtual HRESULT ResetNotSupported(const char* elab = nullptr) = 0;
  virtual HRESULT FirmwareRevisionQueryNotSupported(const char* elab = nullptr) = 0;
  virtual HRESULT SelfTestNotSupported(const char* elab = nullptr) = 0;
  // Formats the text of `id` with inserts from `args`. On failure the error information is set
  // already and the returned HRESULT is the one to hand back.
  virtual HRESULT FormatMessageText(unsigned id, va_list args, std::string& out) = 0;
  virtual HRESULT SetError(unsigned id, const char* description) = 0;
  virtual HRESULT PersonalityNotActive(const char* elab = nullptr) = 0;
  virtual HRESULT PersonalityNotInstalled(const char* elab = nullptr) = 0;
  virtual HRESULT InvalidMeasurementSource(const char* elab = nullptr) = 0;
  virtual HRESULT SettingsConflict(const char* elab = nullptr) = 0;
  virtual HRESULT OptionNotPresent(const char* elab = nullptr) = 0;
  virtual HRESULT InvalidParameterValue(const char* elab = nullptr) = 0;
  virtual HRESULT BadPattern(const char* elab = nullptr) = 0;
  virtual HRESULT NoDataForOperation(const char* elab = nullptr) = 0;
  virtual HRESULT ChannelNotEnabled(const char* elab = nullptr) = 0;
  virtual HRESULT MeasurementNotPossible(const char* elab = nullptr) = 0;
  virtual HRESULT MaxTimeExceeded(const char* elab = nullptr) = 0;
  virtual HRESULT InvalidAcquisitionType(const char* elab = nullptr) = 0;
  virtual HRESULT InvalidWaveformElement(const char* elab = nullptr) = 0;

  template <OtherInteger T>
  HRESULT InvalidValue(const char* method, const char* parameter, T value, const char* format, const char* elab) {
    return InvalidValue(method, parameter, static_cast<LONG>(value), format, elab);
  }
  template <OtherInteger T>
  HRESULT InvalidValue(const char* parameter, T value, const char* format, const char* elab) {
    return InvalidValue(parameter, static_cast<LONG>(value), format, elab);
  }

 protected:
  ~IErrorReporter() = default;
};

// The message-table row of an id, or null for an id the table does not hold.
const messages::MessageRow* FindMessage(unsigned id) noexcept;

// Writes one number with a caller's printf-style format holding a single conversion. The
// conversion is rebuilt for the value's real type, so a mismatched format cannot misread it.
std::string FormatNumber(const char* format, long long value);
std::string FormatNumber(const char* format, double value);

class CErrorReporter : public IErrorReporter {
 public:
  // progId is the source used when the CLSID has no registered ProgID; helpFile goes with
  // messages that carry a help context.
  CErrorReporter(REFCLSID clsid, ICallContextProvider* context, const char* progId, const char* helpFile) noexcept
      : clsid_(clsid), context_(context), progId_(progId), helpFile_(helpFile) {}
  CErrorReporter(const CErrorReporter&) = delete;
  CErrorReporter& operator=(const CErrorReporter&) = delete;
  virtual ~CErrorReporter() = default;

  using IErrorReporter::InvalidValue;

  HRESULT ReportWithText(HRESULT hr, const char* text) override;
  HRESULT Report(unsigned id, ...) override;
  HRESULT ReportV(unsigned id, va_list args) override;
  HRESULT ReportElab(unsigned id, const char* elab, ...) override;
  HRESULT ReportElabV(unsigned id, const char* elab, va_list args) override;
  HRESULT IoError(const char* detail) override;
  HRESULT IoTimeout(const char* detail) override;
  HRESULT NotSupportedByModel(const char* feature, const char* elab = nullptr) override;
  HRESULT MethodNotSupported(const char* method, const char* elab) override;
  HRESULT MethodNotSupported(const char* elab) override;
  HRESULT PropertyNotSupported(const char* property, const char* elab) override;
  HRESULT PropertyNotSupported(const char* elab) override;
  HRESULT InvalidValue(const char* method, const char* parameter, bool value, const char* elab) override;
  HRESULT InvalidValue(const char* method, const char* parameter, LONG value, const char* format,
                       const char* elab) override;
  HRESULT InvalidValue(const char* method, const char* parameter, double value, const char* format,
                       const char* elab) override;
  HRESULT InvalidValue(const char* method, const char* parameter, const char* value, const char* elab) override;
  HRESULT InvalidValue(const char* method, const char* parameter, const OLECHAR* value, const char* elab) override;
  HRESULT InvalidValue(const char* method, const char* parameter, const VARIANT& value, const char* elab) override;
  HRESULT InvalidValue(const char* parameter, bool value, const char* elab) override;
  HRESULT InvalidValue(const char* parameter, LONG value, const char* format, const char* elab) override;
  HRESULT InvalidValue(const char* parameter, double value, const char* format, const char* elab) override;
  HRESULT InvalidValue(const char* parameter, const char* value, const char* elab) override;
  HRESULT InvalidValue(const char* parameter, const OLECHAR* value, const char* elab) override;
  HRESULT InvalidValue(const char* parameter, const VARIANT& value, const char* elab) override;
  HRESULT AlreadyInitialized(const char* elab = nullptr) override;
  HRESULT OptionNameUnknown(const char* name, const char* elab = nullptr) override;
  HRESULT OptionValueUnknown(const char* value, const char* elab = nullptr) override;
  HRESULT SelectorBadlyFormed(const char* elab = nullptr) override;
  HRESULT SimulationStateCannotChange(const char* elab = nullptr) override;
  HRESULT CannotOpenFile(const char* elab = nullptr) override;
  HRESULT UnrecoverableFailure(const char* elab = nullptr) override;
  HRESULT ChannelNameRequired(const char* elab = nullptr) override;
  HRESULT FileNotFound(const char* elab = nullptr) override;
  HRESULT IdQueryFailed(const char* elab = nullptr) override;
  HRESULT InstrumentErrorDetected(const char* elab = nullptr) override;
  HRESULT InvalidFileFormat(const char* elab = nullptr) override;
  HRESULT SelectorLevelsInvalid(const char* repcap, const char* elab = nullptr) override;
  HRESULT PathNameInvalid(const char* elab = nullptr) override;
  HRESULT SelectorRangeInvalid(const char* range, const char* repcap, const char* elab = nullptr) override;
  HRESULT OptionMissingName(const char* elab = nullptr) override;
  HRESULT OptionMissingValue(const char* elab = nullptr) override;
  HRESULT NotInitialized(const char* elab = nullptr) override;
  HRESULT NullPointer(const char* parameter, const char* elab) override;
  HRESULT NullPointer(const char* method, const char* parameter, const char* elab) override;
  HRESULT OperationInProgress(const char* elab = nullptr) override;
  HRESULT OutOfMemory(const char* elab = nullptr) override;
  HRESULT FileReadError(const char* elab = nullptr) override;
  HRESULT ResetFailed(const char* elab = nullptr) override;
  HRESULT UnknownResource(const char* elab = nullptr) override;
  HRESULT StatusNotAvailable(const char* elab = nullptr) override;
  HRESULT TooManyFilesOpen(const char* elab = nullptr) override;
  HRESULT UnexpectedResponse(const char* elab = nullptr) override;
  HRESULT UnknownChannelName(const char* elab = nullptr) override;
  HRESULT UnknownNameInSelector(const char* elab = nullptr) override;
  HRESULT UnknownPhysicalSelector(const char* elab = nullptr) override;
  HRESULT EnumValueNotSupported(const char* value, const char* parameter, const char* elab) override;
  HRESULT EnumValueNotSupported(const char* value, const char* parameter, const char* method,
                                const char* elab) override;
  HRESULT FileWriteError(const char* elab = nullptr) override;
  HRESULT ErrorQueryNotSupported(const char* elab = nullptr) override;
  HRESULT IdQueryNotSupported(const char* elab = nullptr) override;
  HRESULT ResetNotSupported(const char* elab = nullptr) override;
  HRESULT FirmwareRevisionQueryNotSupported(const char* elab = nullptr) override;
  HRESULT SelfTestNotSupported(const char* elab = nullptr) override;
  HRESULT FormatMessageText(unsigned id, va_list args, std::string& out) override;
  HRESULT SetError(unsigned id, const char* description) override;
  HRESULT PersonalityNotActive(const char* elab = nullptr) override;
  HRESULT PersonalityNotInstalled(const char* elab = nullptr) override;
  HRESULT InvalidMeasurementSource(const char* elab = nullptr) override;
  HRESULT SettingsConflict(const char* elab = nullptr) override;
  HRESULT OptionNotPresent(const char* elab = nullptr) override;
  HRESULT InvalidParameterValue(const char* elab = nullptr) override;
  HRESULT BadPattern(const char* elab = nullptr) override;
  HRESULT NoDataForOperation(const char* elab = nullptr) override;
  HRESULT ChannelNotEnabled(const char* elab = nullptr) override;
  HRESULT MeasurementNotPossible(const char* elab = nullptr) override;
  HRESULT MaxTimeExceeded(const char* elab = nullptr) override;
  HRESULT InvalidAcquisitionType(const char* elab = nullptr) override;
  HRESULT InvalidWaveformElement(const char* elab = nullptr) override;

 private:
  // Reports `id` with the inserts given as a list (the non-variadic operations end here).
  HRESULT ReportInserts(unsigned id, const char* elab, std::initializer_list<const char*> inserts);
  HRESULT ReportFormatted(unsigned id, std::string text, const char* elab);
  HRESULT SetErrorInfoFor(HRESULT hr, DWORD helpContext, const std::string& description);
  HRESULT FormatterFailure(unsigned id, HRESULT hr, const char* reason);
  const char* CurrentMethodName() noexcept;

  CLSID clsid_;
  ICallContextProvider* context_;
  const char* progId_;
  const char* helpFile_;
};

// The driver's reporter: the root coclass as source, its help file.
class CKorvaneErrorReporter : public CErrorReporter {
 public:
  explicit CKorvaneErrorReporter(ICallContextProvider* context) noexcept
      : CErrorReporter(kClsidKorvane, context, "Korvane.Korvane.1", "Korvane.chm") {}
};

}  // namespace korvane
