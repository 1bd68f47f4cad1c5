// TEMPORARY: placeholders while the VISA extension operations are written; never lands.
#include "io/VisaComSession.h"

namespace korvane {

HRESULT CVisaComSession::GetLastStatus(HRESULT*) { return E_NOTIMPL; }
HRESULT CVisaComSession::Lock(LONG, LONG, const char*, std::string*) { return E_NOTIMPL; }
HRESULT CVisaComSession::Unlock() { return E_NOTIMPL; }
HRESULT CVisaComSession::AssertTrigger(LONG) { return E_NOTIMPL; }
HRESULT CVisaComSession::SetProtocol(LONG) { return E_NOTIMPL; }
HRESULT CVisaComSession::ReadAsync(LONG, LONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::WriteAsync(const BYTE*, LONG, LONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::TerminateAsync(LONG) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetProtocol(LONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetInterfaceNumber(USHORT*) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetManufacturerId(USHORT*) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetAttribute(LONG, BYTE*) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetAttribute(LONG, USHORT*) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetAttribute(LONG, ULONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetAttribute(LONG, ULONGLONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetAttribute(LONG, VARIANT_BOOL*) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetAttributeVariant(LONG, VARIANT*) { return E_NOTIMPL; }
HRESULT CVisaComSession::In8(short, ULONGLONG, BYTE*) { return E_NOTIMPL; }
HRESULT CVisaComSession::In16(short, ULONGLONG, short*) { return E_NOTIMPL; }
HRESULT CVisaComSession::In32(short, ULONGLONG, LONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::In64(short, ULONGLONG, LONGLONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::Out8(short, ULONGLONG, BYTE) { return E_NOTIMPL; }
HRESULT CVisaComSession::Out16(short, ULONGLONG, short) { return E_NOTIMPL; }
HRESULT CVisaComSession::Out32(short, ULONGLONG, LONG) { return E_NOTIMPL; }
HRESULT CVisaComSession::Out64(short, ULONGLONG, LONGLONG) { return E_NOTIMPL; }
HRESULT CVisaComSession::MoveIn8(short, ULONGLONG, LONG, BYTE*) { return E_NOTIMPL; }
HRESULT CVisaComSession::MoveIn16(short, ULONGLONG, LONG, short*) { return E_NOTIMPL; }
HRESULT CVisaComSession::MoveIn32(short, ULONGLONG, LONG, LONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::MoveIn64(short, ULONGLONG, LONG, LONGLONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::MoveOut8(short, ULONGLONG, LONG, const BYTE*) { return E_NOTIMPL; }
HRESULT CVisaComSession::MoveOut16(short, ULONGLONG, LONG, const short*) { return E_NOTIMPL; }
HRESULT CVisaComSession::MoveOut32(short, ULONGLONG, LONG, const LONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::MoveOut64(short, ULONGLONG, LONG, const LONGLONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::Move(short, ULONGLONG, LONG, short, ULONGLONG, LONG, LONG) { return E_NOTIMPL; }
HRESULT CVisaComSession::MoveAsync(short, ULONGLONG, LONG, short, ULONGLONG, LONG, LONG, LONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::AllocateMemory(LONG, ULONGLONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::FreeMemory(ULONGLONG) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetSourceBigEndian(VARIANT_BOOL*) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetDestinationBigEndian(VARIANT_BOOL*) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetSourceIncrement(LONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetDestinationIncrement(LONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::EnableEvent(LONG, LONG) { return E_NOTIMPL; }
HRESULT CVisaComSession::DisableEvent(LONG, LONG) { return E_NOTIMPL; }
HRESULT CVisaComSession::DiscardEvents(LONG, LONG) { return E_NOTIMPL; }
HRESULT CVisaComSession::WaitOnEvent(LONG, LONG, LONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::InstallHandler(LONG, IEventHandler*, LONG) { return E_NOTIMPL; }
HRESULT CVisaComSession::UninstallHandler(LONG, LONG) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetMaximumQueueLength(LONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::SetMaximumQueueLength(LONG) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetIVisaSessionPointer(IVisaSession**) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetIFormattedIO488Pointer(IFormattedIO488**) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetIMessagePointer(IMessage**) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetIAsyncMessagePointer(IAsyncMessage**) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetIRegisterPointer(IRegister**) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetISharedRegisterPointer(ISharedRegister**) { return E_NOTIMPL; }
HRESULT CVisaComSession::GetIEventManagerPointer(IEventManager**) { return E_NOTIMPL; }
HRESULT CVisaComSession::ReadBytes(LONG, SAFEARRAY**) { return E_NOTIMPL; }
HRESULT CVisaComSession::ReadBytes(LONG, BYTE*, LONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::ReadString(LONG, BSTR*) { return E_NOTIMPL; }
HRESULT CVisaComSession::WriteBytes(SAFEARRAY*, LONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::WriteBytes(const BYTE*, LONG, LONG*) { return E_NOTIMPL; }
HRESULT CVisaComSession::WriteString(BSTR) { return E_NOTIMPL; }

}  // namespace korvane
