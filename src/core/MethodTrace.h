// Method-trace settings of a session. Records and the trace file are written by the trace
// writer; this holds what the option string and Initialize configure.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <string>

namespace korvane {

class CMethodTrace {
 public:
  enum State : LONG { kRunning = 0, kPaused = 1, kStopped = 2 };

  const std::string& Name() const noexcept { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  const std::string& DriverIdentifier() const noexcept { return identifier_; }
  void SetDriverIdentifier(std::string id) { identifier_ = std::move(id); }
  const std::string& Transform() const noexcept { return transform_; }
  void SetTransform(std::string t) { transform_ = std::move(t); }

  LONG GetState() const noexcept { return state_; }
  void SetState(LONG s) noexcept { state_ = s; }
  bool IsOpen() const noexcept { return open_; }
  void SetOpen(bool open) noexcept { open_ = open; }

  LONG SizeMax() const noexcept { return sizeMax_; }
  void SetSizeMax(LONG v) noexcept { sizeMax_ = v; }
  bool ArraySwitch() const noexcept { return array_; }
  void SetArraySwitch(bool v) noexcept { array_ = v; }
  LONG ArraySizeMax() const noexcept { return arraySizeMax_; }
  void SetArraySizeMax(LONG v) noexcept { arraySizeMax_ = v; }
  LONG SaveInterval() const noexcept { return saveInterval_; }
  void SetSaveInterval(LONG v) noexcept { saveInterval_ = v; }

  bool IsClosing() const noexcept { return closing_; }
  void SetClosing(bool v) noexcept { closing_ = v; }

  // Initialize hands over the identifier after option processing; an open trace starts running.
  void Configure(std::string identifier) {
    identifier_ = std::move(identifier);
    closing_ = false;
    if (open_) state_ = kRunning;
  }

 private:
  std::string name_;
  std::string identifier_;
  std::string transform_;
  LONG state_ = kPaused;
  bool open_ = false;
  LONG sizeMax_ = 0;
  bool array_ = false;
  LONG arraySizeMax_ = 0;
  LONG saveInterval_ = 0;
  bool closing_ = false;
};

}  // namespace korvane
