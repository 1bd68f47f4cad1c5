#include "ToolSession.h"

#include "DriverRoot.h"
#include "ExitCodes.h"
#include "Help.h"

#include <cctype>
#include <chrono>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace korvane::cli {
namespace {

// --trace: the driver's I/O log on stderr, added to the DriverSetup section.
std::string WithIoLog(const std::string& options) {
  std::string upper = options;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper.find("DRIVERSETUP") != std::string::npos) return options + ", IoLog=stderr";
  return options + (options.empty() ? "" : ", ") + "DriverSetup=IoLog=stderr";
}

}  // namespace

bool IsTerminal(int fd) {
#ifdef _WIN32
  return _isatty(fd) != 0;
#else
  return isatty(fd) != 0;
#endif
}

Session::~Session() {
  if (open_) root_->Close();
}

int Session::Open(const std::string& resource, const Args& a) {
  HRESULT hr = CreateDriverRoot(root_.Receive());
  if (FAILED(hr)) {
    const int rc = Fail("creating the driver object (CLSID_Korvane)", hr);
    if (hr == REGDB_E_CLASSNOTREG)
      std::fprintf(stderr, "korvane: the driver is not registered; run regsvr32 Korvane.dll\n");
    return rc;
  }
  Bstr res(resource), opt(a.trace ? WithIoLog(a.options) : a.options);
  {
    Progress p("Connecting to " + resource);
    hr = root_->Initialize(res, VARIANT_TRUE, a.reset ? VARIANT_TRUE : VARIANT_FALSE, opt);
  }
  if (FAILED(hr)) {
    const std::string text = LastErrorText();
    // The provider's text names the resource already; a long name is not printed twice.
    const bool named = !resource.empty() && text.find(resource) != std::string::npos;
    const int rc = Report(named ? std::string("Initialize") : "Initialize " + resource, hr, text, nullptr);
    if (BadResource(hr)) {
      std::fputs(kResourceForms, stderr);
      return kExitUsage;
    }
    if (BadOptionString(hr)) {
      std::fputs(kOptionStringForms, stderr);
      return kExitUsage;
    }
    return rc;
  }
  open_ = true;
  return kExitOk;
}

std::string Identity(IKorvane8* root, HRESULT (STDMETHODCALLTYPE IIviDriverIdentity::*getter)(BSTR*)) {
  ComPtr<IIviDriverIdentity> id;
  Bstr v;
  if (FAILED(root->get_Identity(id.Receive())) || FAILED((id.get()->*getter)(v.Receive()))) return "?";
  return v.Narrow();
}

bool Simulating(IKorvane8* root) {
  ComPtr<IIviDriverOperation> op;
  VARIANT_BOOL sim = VARIANT_FALSE;
  if (SUCCEEDED(root->get_DriverOperation(op.Receive()))) op->get_Simulate(&sim);
  return sim != VARIANT_FALSE;
}

HRESULT MeasurementItem(IKorvane8* root, const std::string& channel, ComPtr<IKorvaneMeasurement>& out) {
  ComPtr<IKorvaneMeasurements> ms;
  HRESULT hr = root->get_Measurements(ms.Receive());
  if (FAILED(hr)) return hr;
  Bstr name(channel);
  return ms->get_Item(name, out.Receive());
}

Progress::Progress(std::string what) : what_(std::move(what)) {
  if (!IsTerminal(1) || !IsTerminal(2)) return;
  thread_ = std::thread([this] { Run(); });
}

Progress::~Progress() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_);
    done_ = true;
  }
  cv_.notify_one();
  thread_.join();
}

void Progress::Run() {
  using namespace std::chrono;
  const auto start = steady_clock::now();
  bool shown = false;
  std::unique_lock<std::mutex> lock(m_);
  while (!cv_.wait_for(lock, milliseconds(200), [this] { return done_; })) {
    const double s = duration<double>(steady_clock::now() - start).count();
    if (s < 0.5) continue;
    std::fprintf(stderr, "\r%s ... %.1f s", what_.c_str(), s);
    std::fflush(stderr);
    shown = true;
  }
  if (shown) std::fprintf(stderr, "\r\033[K");
}

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

HRESULT ReadDirectReply(IKorvaneSystem2* sys, std::string& reply, long long& blockSize) {
  HRESULT hr = ReadReply(sys, reply);
  blockSize = SUCCEEDED(hr) ? BlockSize(reply) : 0;
  while (SUCCEEDED(hr) && blockSize > 0 && static_cast<long long>(reply.size()) < blockSize) {
    std::string more;
    hr = ReadReply(sys, more);
    reply += '\n';  // the line feed that ended the piece belongs to the data
    reply += more;
  }
  if (SUCCEEDED(hr) && blockSize > 0 && static_cast<long long>(reply.size()) > blockSize) reply.resize(blockSize);
  return hr;
}

}  // namespace korvane::cli
