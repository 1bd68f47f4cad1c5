// The simulated oscilloscope: settings, IEEE 488.2 status system, error queue,
// acquisition, waveform transfer and measurements. Transport-independent: a front end
// hands it one program message at a time and sends back the Reply.
//
// CInstrument is one class spread over files by what they do:
//   Instrument.cpp            construction, message execution, the error queue, the command table
//   StatusCommands.cpp        common commands (*IDN?, *ESR?, ...), status registers, :SYSTem
//   AcquisitionCommands.cpp   run control, :ACQuire, :TRIGger, channels, waveform memories
//   WaveformCommands.cpp      :WAVeform transfer and the screen image (:DISPlay:DATA)
//   MeasurementCommands.cpp   :MEASure, clock recovery and cursors, and the measurements themselves
//   ToolCommands.cpp          generator, files, frequency response, lister
//   Capture.cpp               the record taken at a trigger, its synthesis and the screen drawing
//   WaveformEncoding.cpp      preambles and data blocks, analog and digital
//   Faults.cpp                fault injection: corrupted, delayed, stalled and dropped replies
// A new command goes into its subsystem's add...Commands(); a header that only stores a value
// needs no code, only its row in the settings table.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Scpi.h"
#include "Settings.h"
#include "Signal.h"

namespace korvane::sim {

struct InstrumentConfig {
  std::string model = {};   // empty: the first model of the table
  std::string serial = {};  // empty: derived from the model
  std::string firmware = "3.12.04";
  std::string options = {};  // empty: derived from the model
};

// What the front end sends back for one program message.
struct Reply {
  // One response unit; large blocks are shared, prebuilt buffers.
  struct Unit {
    std::string text;
    std::shared_ptr<const std::string> blob;
    size_t size() const { return blob ? blob->size() : text.size(); }
  };
  std::vector<Unit> units;
  double delaySeconds = 0;  // hold the reply (and the session) this long
  bool mute = false;        // swallow the reply entirely
  // Close the connection after this many bytes of the reply (fault injection).
  std::optional<size_t> dropAfter;
  // Send this many bytes of the reply, then hold the rest for stallSeconds.
  std::optional<size_t> stallAfter;
  double stallSeconds = 0;
  double dripSeconds = 0;   // send the reply one byte at a time, this long apart
  uint64_t floodBytes = 0;  // send this many filler bytes instead of the reply, never terminated

  bool hasOutput() const { return !units.empty(); }
  size_t size() const;  // bytes on the wire, units joined by ';' plus the final line feed
  std::string flatten() const;
};

class CInstrument {
 public:
  explicit CInstrument(InstrumentConfig config = {});  // throws std::invalid_argument on unknown model
  ~CInstrument();
  CInstrument(const CInstrument&) = delete;
  CInstrument& operator=(const CInstrument&) = delete;

  // Executes one program message (without its terminator). Thread-safe. `counted`: its queries
  // count in :SIMulator:QUERies? (a front end's own status look-ups do not).
  Reply execute(std::string_view message, bool counted = true);
  // Convenience for in-process callers: executes and returns the reply text without the
  // terminating line feed (empty when nothing was answered).
  std::string query(std::string_view message, bool counted = true);
  // A client's serial poll (HiSLIP status query, VXI-11 device_readstb): counted as a query.
  void countSerialPoll();

  // Pending operations (an acquisition or a frequency response run under :SIM:OPER:TIME) end on
  // a timer of the instrument's; each listener is called then, on that thread and without the
  // instrument's lock, so a front end can announce the service request the end may raise.
  // Removing a listener waits for a call of it that is running.
  int addCompletionListener(std::function<void()> listener);
  void removeCompletionListener(int id);

  // Queues an error as the instrument would; also sets the *ESR bit of its class.
  void pushError(int code, std::string_view message);
  // Takes the oldest queued error as :SYST:ERR? would answer it, but past the fault switches.
  std::string takeError();

  // Applies a "<ch>:<shape>:<freq>:<amp>[:<offset>[:<duty>]]" signal description.
  void applySignalSpec(std::string_view spec);  // throws std::invalid_argument

  const std::string& model() const { return model_; }
  const std::string& serial() const { return serial_; }
  const std::string& firmware() const { return firmware_; }
  int analogChannels() const { return info_.analog; }
  int digitalChannels() const { return info_.digital; }
  static constexpr size_t kErrorQueueSize = 30;

 private:
  struct Call {
    const Unit& unit;
    const std::vector<int>& suffix;
    Reply& reply;
    std::optional<ScpiError> error;
    void fail(ScpiError e) {
      if (!error) error = e;
    }
    void answer(std::string text) { reply.units.push_back({std::move(text), nullptr}); }
  };
  using Handler = std::function<void(Call&)>;
  struct Command {
    HeaderPattern pattern;
    int setting = -1;  // row of the settings store, or -1
    Handler onQuery;
    Handler onSet;
  };

  // One capture of every channel: the time axis and settings frozen at trigger time;
  // channel data is synthesised on first use.
  struct ChannelCapture {
    SignalSpec spec;
    bool invert = false, ac = false;
    double scale = 1, offset = 0;
    bool ready = false;
    std::vector<double> data;  // volts; pairs (min, max) in peak detect
  };
  struct Capture {
    uint64_t sequence = 0;
    unsigned long generation = 0;
    TimeAxis axis;
    std::string type;  // NORM, PEAK, AVER, HRES
    int count = 1;
    std::vector<ChannelCapture> channels;
  };
  struct Preamble {
    int format, type, count, xref, yref;
    size_t points;
    double xinc, xorg, yinc, yorg;
  };

  // The command table: every subsystem's handlers, then a row per stored setting. Each add...
  // function is in its subsystem's file (see the opening comment).
  void buildCommands();
  void addRunControlCommands();
  void addAcquisitionCommands();
  void addTriggerCommands();
  void addChannelCommands();
  void addSystemCommands();
  void addWaveformCommands();
  void addMeasurementCommands();
  void addMeasureSetupCommands();
  void addCursorAndClockCommands();
  void addGeneratorCommands();
  void addFileCommands();
  void addAnalysisCommands();  // frequency response, lister
  void addFaultCommands();
  void addCommand(const char* pattern, Handler onQuery, Handler onSet);
  // Both return the code of the error queued, or 0.
  int executeUnit(const Unit& unit, std::vector<std::string>& path, Reply& reply);
  int executeCommon(const Unit& unit, Reply& reply);
  void pushErrorLocked(int code, std::string_view message);
  void reset();

  // Acquisition
  void acquire();
  Capture& currentCapture();
  const std::vector<double>& channelData(Capture& cap, int channel);
  int waveformChannel(Call& call);  // from :WAV:SOUR; 0 when it has no data
  Preamble preamble(const Capture& cap, int channel) const;
  std::shared_ptr<const std::string> encodedBlock(Capture& cap, int channel);
  // A digital waveform source: -1 - n for DIG<n>, -100 - p for POD<p>, 0 for any other text.
  int digitalSource(const std::string& source) const;
  Preamble digitalPreamble(const Capture& cap) const;
  std::shared_ptr<const std::string> digitalBlock(const Capture& cap, int source) const;
  // The screen with the displayed channels' traces, as "PNG", "BMP" or "BMP8".
  std::string screenImage(const std::string& format, bool gray);
  uint8_t statusByte(const Reply& reply) const;
  unsigned operCondition() const { return running_ || busyUntil_ ? 8u : 0u; }
  void setRunning(bool run);
  // Pending operations: started by :DIG, :SING and :FRAN:RUN when :SIM:OPER:TIME is not 0.
  using Clock = std::chrono::steady_clock;
  void startOperationLocked();
  void settleLocked();                  // ends the pending operations whose time has come
  void finishOperationsLocked();        // ends them now (their time came, :STOP or *RST)
  double pendingSecondsLocked() const;  // until the pending operations end, 0 when none
  void timerLoop();

  // Measurements
  int sourceChannel(const Param& p) const;  // 1-based analog channel or 0
  ThresholdDef thresholds() const { return thresholds_; }
  double measure(std::string_view token, const std::vector<Param>& args, Call& call);

  // Fault injection
  void applyFaults(Reply& reply);
  void applyBlockFault(Reply::Unit& unit);
  bool applyReplyFault(Reply& reply);

  mutable std::mutex mutex_;
  std::string model_, serial_, firmware_, options_;
  ModelInfo info_;
  double bandwidthHz_ = 0;
  CSettingStore store_;
  std::vector<Command> commands_;

  // Status system
  unsigned esr_ = 128;  // power-on
  unsigned ese_ = 0, sre_ = 0;
  unsigned operEvent_ = 0;
  std::deque<std::pair<int, std::string>> errors_;

  // Pending operations and the query count (:SIM:QUER?), under mutex_.
  std::optional<Clock::time_point> busyUntil_;
  bool opcArmed_ = false;    // *OPC received while operations were pending
  bool fraPending_ = false;  // a frequency response run sets the operation-complete bit at its end
  bool announce_ = false;    // operations ended that the listeners have not been told of
  Clock::time_point lastEnd_{};
  uint64_t queries_ = 0;
  uint64_t queriesAtStart_ = 0, queriesDuring_ = 0;  // the count when they began; while they ran
  bool stopping_ = false;
  std::condition_variable timerCv_;
  std::thread timer_;
  std::mutex listenersMutex_;  // held while listeners run
  std::map<int, std::function<void()>> listeners_;
  int nextListener_ = 1;

  // Acquisition state
  bool running_ = true;
  uint64_t sequence_ = 0;
  Capture capture_;
  std::map<std::tuple<uint64_t, int, std::string>, std::shared_ptr<const std::string>> blocks_;

  // Measurement state
  ThresholdDef thresholds_;
  int delayEdge1_ = 1, delayEdge2_ = 1;
  // Runt and transition thresholds, kept per analog channel (index 0 is channel 1).
  std::vector<std::pair<double, double>> sourceLevels_ = std::vector<std::pair<double, double>>(4, {1.0, 0.0});
  int measSource1_ = 1, measSource2_ = 2;
  std::vector<std::pair<std::string, int>> installed_;  // measurement token, channel

  // Files saved in the instrument's memory: name -> (kind, contents).
  std::map<std::string, std::pair<std::string, std::string>> files_;
  uint64_t activityResetAt_ = ~uint64_t{0};  // the capture whose edges were cleared
  std::string clockMethod_ = "CONS,+1.00000E+09";
  // Arbitrary waveform points per generator (index 0 is generator 1), volts or DAC codes.
  std::vector<std::vector<double>> arbPoints_ = std::vector<std::vector<double>>(2);
};

}  // namespace korvane::sim
