// The functions every driver of the flat C API has: sessions, identity, errors, direct I/O.
// The exported names are generated (ansic/AnsiCRequired.cpp) from the driver identifier and
// forward here.
#pragma once

#include <korvane/AnsiCApi.h>

#include <cstddef>
#include <cstdint>

namespace korvane::ansic {

int32_t Init(const char* resourceName, bool idQuery, bool reset, Session* session) noexcept;
// options: "name=value;name=value" (OptionsToInitString).
int32_t InitWithOptions(const char* resourceName, bool idQuery, bool reset, const char* options,
                        Session* session) noexcept;
int32_t Close(Session session) noexcept;

int32_t DriverVersion(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept;
int32_t DriverVendor(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept;
int32_t InstrumentManufacturer(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept;
int32_t InstrumentModel(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept;
int32_t SupportedModels(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept;
int32_t QueryInstrumentStatusGet(Session session, bool* value) noexcept;
int32_t QueryInstrumentStatusSet(Session session, bool value) noexcept;
int32_t SimulateGet(Session session, bool* value) noexcept;
int32_t Reset(Session session) noexcept;

// The instrument's next error. A size query or a short buffer keeps the entry for the next call,
// so nothing is lost and the code is written only with the text.
int32_t ErrorQuery(Session session, int32_t* errorCode, std::size_t size, char* buffer,
                   std::size_t* sizeRequired) noexcept;
int32_t ErrorMessage(int32_t status, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept;
// An invalid session reads the calling thread's (a failed init's) error.
int32_t LastErrorMessage(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept;
int32_t ClearLastError(Session session) noexcept;
int32_t ReadAndClearErrorQueue(Session session, std::size_t size, char* buffer) noexcept;
int32_t NextCoercionRecord(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept;
int32_t NextInterchangeWarning(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept;

// The instruments reachable from here (visacom::ListResources); a bad expression or option is
// kInvalidArgument with the reason for last_error_message on the invalid session.
int32_t ListInstruments(const char* expression, const char* options, std::size_t size, char* buffer,
                        std::size_t* sizeRequired) noexcept;

int32_t IoTimeoutGet(Session session, int32_t* value) noexcept;
int32_t IoTimeoutSet(Session session, int32_t value) noexcept;
int32_t WriteBytes(Session session, std::size_t count, const uint8_t* data) noexcept;
int32_t WriteString(Session session, const char* data) noexcept;
// Reads are a stream: what a response has beyond the caller's buffer stays for the next read.
int32_t ReadBytes(Session session, std::size_t size, uint8_t* buffer, std::size_t* sizeRequired) noexcept;
int32_t ReadString(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept;
int32_t Query(Session session, const char* command, std::size_t size, char* buffer,
              std::size_t* sizeRequired) noexcept;

// Installs the session's one service request callback (null removes it) on the session's
// VISA-COM session, and enables delivery to it (src/ansic/Events.cpp).
int32_t ServiceRequestHandlerSet(Session session, ServiceRequestCallback callback, void* context) noexcept;

}  // namespace korvane::ansic
