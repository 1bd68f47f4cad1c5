// The caller's own buffers as the destination of a waveform read. The flat API arms one for
// the duration of a call; the waveform methods then scale the points straight into it instead
// of building a SAFEARRAY of doubles that would only be copied out and freed again.
#pragma once

#include <cstddef>

namespace korvane {

struct WaveformDestination {
  double* buffers[2] = {nullptr, nullptr};  // in the method's array order (min, max)
  std::size_t capacity = 0;                 // elements of each buffer
  int armed = 0;                            // buffers given; -1: none usable
  bool taken = false;                       // a method has claimed it (only one may)
  bool used = false;                        // the method wrote its points there
  std::size_t written = 0;                  // points written to each buffer
  // The record must fit whole: a longer one is built as without a destination, so that a caller
  // that writes nothing unless everything fits (the flat C API) sees its buffers untouched.
  bool whole = false;
};

// This thread's destination; empty (armed == 0) outside a flat API call. Defined here, in the
// layer that declares it: the flat API (ivic) arms it and the waveform methods (scope) take it.
inline WaveformDestination& ThreadWaveformDestination() noexcept {
  thread_local WaveformDestination destination;
  return destination;
}

// Claimed by the method that fills `arrays` buffers; null when none is armed for this call, when
// the count of buffers differs, or when an earlier (nested) method has claimed it already.
inline WaveformDestination* TakeWaveformDestination(int arrays) noexcept {
  WaveformDestination& d = ThreadWaveformDestination();
  if (d.armed != arrays || d.taken) return nullptr;
  d.taken = true;
  return &d;
}

}  // namespace korvane
