// korvane scpi: a command as it stands, through the driver's direct I/O.
#include "Commands.h"
#include "ExitCodes.h"
#include "Plot.h"
#include "ToolSession.h"

#include <cstdio>

namespace korvane::cli {

// Direct I/O goes through IKorvaneSystem2: WriteString, then ReadDirectReply for a query.
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
  long long size = 0;
  {
    Progress p("Reading the reply");
    hr = ReadDirectReply(sys.get(), reply, size);
  }
  if (FAILED(hr)) {
    const int rc = Fail("direct I/O (IKorvaneSystem2.ReadBytes)", hr);
    CheckInstrument(command, s.get());
    return rc;
  }
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
