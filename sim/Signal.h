// Signal synthesis and the automatic measurements computed from a record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace korvane::sim {

enum class Shape { Sine, Square, Triangle, Noise, Dc };

struct SignalSpec {
  Shape shape = Shape::Sine;
  double frequency = 1e3;
  double amplitude = 0.5;  // peak, volts
  double offset = 0;
  double dutyPercent = 50;  // square only
  double phaseDegrees = 0;
  double noiseRms = 0;  // added gaussian noise
};

// Parses "sine", "square", "triangle", "noise", "dc" (any case, short forms allowed).
std::optional<Shape> parseShape(std::string_view word);

// Time axis of a record: sample k is at x0 + k * dx.
struct TimeAxis {
  double x0 = 0;
  double dx = 1e-6;
  size_t points = 0;
};

// Fills `out` with axis.points samples; `seed` makes the noise repeatable per acquisition.
// `invert` and `acCoupled` model the channel's front end.
void synthesize(const SignalSpec& spec, const TimeAxis& axis, uint64_t seed, bool invert, bool acCoupled,
                double noiseScale, std::vector<double>& out);

// Peak detect: for every output interval the minimum and maximum of a finer sampling,
// stored as (min, max) pairs.
void synthesizePeak(const SignalSpec& spec, const TimeAxis& axis, uint64_t seed, bool invert, bool acCoupled,
                    double noiseScale, std::vector<double>& out);

struct ThresholdDef {
  bool percent = true;
  double upper = 90, middle = 50, lower = 10;
};

// Returned by the instrument when a measurement cannot be made on the record.
inline constexpr double kNoResult = 9.9e37;

// Computes measurements from one record. Edge-based results use the threshold definition.
class CMeasurer {
 public:
  CMeasurer(const std::vector<double>& v, const TimeAxis& axis, const ThresholdDef& thr);

  double vmax() const { return max_; }
  double vmin() const { return min_; }
  double top() const { return top_; }
  double base() const { return base_; }
  double average(bool cycle) const;
  double rms(bool cycle, bool ac) const;
  double stddev() const;
  double area() const;
  double timeAtMax() const;
  double timeAtMin() const;
  double overshoot() const;
  double preshoot() const;

  double period() const;
  double frequency() const;
  double riseTime() const;
  double fallTime() const;
  double positiveWidth() const;
  double negativeWidth() const;
  double dutyCycle() const;
  double burstWidth() const;
  double bitRate() const;
  int edgeCount(bool rising) const;
  int pulseCount(bool positive) const;
  // Time of the n-th rising (n > 0) or falling (n < 0) middle-level crossing.
  double timeOfEdge(int n) const;
  double valueAtTime(double t) const;
  // Time of the n-th crossing of `level` in the direction of n's sign.
  double timeAtValue(double level, int n) const;

  struct Edge {
    bool rising;
    double tLower, tMiddle, tUpper;
  };
  const std::vector<Edge>& edges() const { return edges_; }

 private:
  double crossing(size_t j, double level) const;
  std::pair<size_t, size_t> cycleSpan() const;

  const std::vector<double>& v_;
  TimeAxis axis_;
  double max_ = 0, min_ = 0, top_ = 0, base_ = 0;
  double upper_ = 0, middle_ = 0, lower_ = 0;
  std::vector<Edge> edges_;
};

}  // namespace korvane::sim
