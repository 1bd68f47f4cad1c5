// One driver session for the life of a command, and what commands ask of it besides properties.
#pragma once

#include "Arguments.h"

#include <korvane/ComHelpers.h>
#include <korvane/KorvaneCom.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace korvane::cli {

// Initialize on Open, Close on every path out. Open reports its failure itself.
class Session {
 public:
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();
  // 0, or the exit code after the failure was reported: 2 for a resource or option string that
  // cannot work as typed (with the forms they take), 1 for the rest.
  int Open(const std::string& resource, const Args& a);
  IKorvane8* operator->() const { return root_.get(); }
  IKorvane8* get() const { return root_.get(); }

 private:
  ComPtr<IKorvane8> root_;
  bool open_ = false;
};

// A direct I/O reply, read whole through IKorvaneSystem2::ReadBytes. A read ends at the line feed
// that ends a message; a definite-length block ("#<n><length>...") holds line feeds of its own, so
// its pieces are read and joined until the length its header gives has arrived. `blockSize` is
// the block's total size (header included), or <= 0 when the reply is no such block.
HRESULT ReadDirectReply(IKorvaneSystem2* sys, std::string& reply, long long& blockSize);

// An identity text of the driver or the instrument; "?" when the driver gives none.
std::string Identity(IKorvane8* root, HRESULT (STDMETHODCALLTYPE IIviDriverIdentity::*getter)(BSTR*));
bool Simulating(IKorvane8* root);
HRESULT MeasurementItem(IKorvane8* root, const std::string& channel, ComPtr<IKorvaneMeasurement>& out);

// An elapsed-time line on stderr while a long call runs, only for a person at a terminal and
// only once the call has taken a moment.
class Progress {
 public:
  explicit Progress(std::string what);
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress();

 private:
  void Run();

  std::string what_;
  std::thread thread_;
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
};

// Whether stdout (1) or stderr (2) is a terminal.
bool IsTerminal(int fd);

}  // namespace korvane::cli
