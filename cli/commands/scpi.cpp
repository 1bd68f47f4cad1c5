// korvane scpi: a command as it stands, through the driver's direct I/O.
#include "Commands.h"
#include "ExitCodes.h"
#include "Plot.h"
#include "ToolSession.h"

#include <cstdio>

namespace korvane::cli {
namespace {

// "#<n><length>": the block's total size (header included), 0 when the text is no such header yet
// or an indefinite block ("#0"); -1 when it cannot be one.
long long BlockSize(const std::string& reply) {
  if (reply.size() < 2 || reply[0] != '#') return -1;
  const int digits = reply[1] - '0';
  if (digits < 1 || digits > 9) return digits == 0 ? 0 : -1;
  if (reply.size() < static_cast<std::size_t>(2 + digits)) return 0;
  long long length = 0;
  for (int k = 0; k < digits; ++k) {
    const char c = reply[2 + k];
    if (c < '0' || c > '9') return -1;
    length = length * 10 + (c - '0');
  }
  return 2 + digits + length;
}

HRESULT ReadReply(IKorvaneSystem2* sys, std::string& out) {
  SafeArrayPtr arr(SafeArrayCreateVector(VT_UI1, 0, 0));
  SAFEARRAY* raw = arr.Detach();
  HRESULT hr = sys->ReadBytes(&raw);
  arr = SafeArrayPtr(raw);
  if (FAILED(hr)) return hr;
  SafeArrayAccess<BYTE> data(arr.get());
  if (!data.ok()) return data.hr();
  out.assign(reinterpret_cast<const char*>(data.data()), data.size());
  return S_OK;
}

}  // namespace

// Direct I/O goes through IKorvaneSystem2: WriteString, then ReadBytes for a query. A read ends at
// the line feed that ends a message; a binary block holds line feeds of its own, so its pieces are
// read and joined until the length its header gives has arrived.
int CmdScpi(const Args& a) {
  if (a.positional.size() != 2) return Usage("scpi", "scpi takes <resource> \"<command>\"");
  const std::string& command = a.positional[1];
  Session s;
  if (int rc = s.Open(a.positional[0], a)) return rc;
  ComPtr<IKorvaneSystem2> sys;
  HRESULT hr = s->get_System2(sys.Receive());
  if (FAILED(hr)) return Fail("System2", hr);
  if (a.timeoutGiven) {
    hr = sys->put_TimeoutMilliseconds(a.timeoutMs);
    if (FAILED(hr)) return Fail("set System.TimeoutMilliseconds", hr, s.get());
  }
  const bool query = command.find('?') != std::string::npos;
  if (!query) InstrumentErrors(s.get());  // what was queued before is not this command's doing
  hr = sys->WriteString(Bstr(command));
  if (FAILED(hr)) return Fail("direct I/O (IKorvaneSystem2.WriteString)", hr);
  if (!query) return CheckInstrument(command, s.get());
  std::string reply;
  {
    Progress p("Reading the reply");
    hr = ReadReply(sys.get(), reply);
    long long size = BlockSize(reply);
    while (SUCCEEDED(hr) && size > 0 && static_cast<long long>(reply.size()) < size) {
      std::string more;
      hr = ReadReply(sys.get(), more);
      reply += '\n';  // the line feed that ended the piece belongs to the data
      reply += more;
    }
    if (SUCCEEDED(hr) && size > 0 && static_cast<long long>(reply.size()) > size) reply.resize(size);
  }
  if (FAILED(hr)) {
    const int rc = Fail("direct I/O (IKorvaneSystem2.ReadBytes)", hr);
    CheckInstrument(command, s.get());
    return rc;
  }
  const long long size = BlockSize(reply);
  const bool block = size > 0;
  std::string payload = reply;
  if (block) payload = reply.substr(static_cast<std::size_t>(2 + (reply[1] - '0')));
  if (!a.out.empty()) {
    std::string error;
    if (!WriteFile(a.out, block ? payload : reply, error)) return Failure(error);
    std::printf("%zu bytes to %s\n", (block ? payload : reply).size(), a.out.c_str());
    return kExitOk;
  }
  if (block) {
    if (IsTerminal(1)) {
      std::printf("definite-length block of %zu bytes (header %s); --out <file> keeps them\n", payload.size(),
                  reply.substr(0, reply.size() - payload.size()).c_str());
      return kExitOk;
    }
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    return kExitOk;
  }
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
  std::printf("%s\n", reply.c_str());
  return kExitOk;
}

}  // namespace korvane::cli
