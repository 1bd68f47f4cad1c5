// The table of stored settings: one row per settable property, and the store that keeps
// their values in the instrument's canonical form.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "Scpi.h"

namespace korvane::sim {

// String is quoted data, answered quoted; Text is unquoted data kept as sent (a source name,
// a hexadecimal pattern) and answered as it came.
enum class SettingType { Real, Int, Bool, Enum, String, Text };

enum SettingFlags : unsigned {
  kReadOnly = 1,    // query only
  kPersistent = 2,  // survives *RST (simulator controls)
  kAlsoNumber = 4,  // an enumeration that also takes a number (a mode or a value)
};

// Instance count of a row with a numeric suffix: per analog channel (1..N), per digital
// channel (0..M-1).
inline constexpr int kPerChannel = -1;
inline constexpr int kPerDigital = -2;

struct SettingRow {
  const char* pattern;  // header with short/long forms, '#' for the suffix
  SettingType type;
  const char* defaults;  // canonical default; ';' separates per-instance defaults
  double min = 0;
  double max = 0;
  const char* tokens = "";  // enumeration tokens "POSitive|NEGative"; {CHAN} {DIG} {POD} expand
  int instances = 0;        // 0: no suffix, kPerChannel: one per analog channel, n: 1..n
  int arity = 1;            // numbers per value
  unsigned flags = 0;
  const char* coupledTo = nullptr;  // this = factor * coupledTo, kept in step both ways
  double factor = 1;
};

std::span<const SettingRow> settingsTable();
// Rows generated from the catalogue; a header the hand-made table already has is theirs.
std::span<const SettingRow> generatedSettingsTable();

struct ModelInfo {
  int analog = 4;
  int digital = 0;
};

struct SettingValue {
  std::vector<double> nums;
  std::string text;
};

class CSettingStore {
 public:
  explicit CSettingStore(const ModelInfo& model);

  struct Row {
    const SettingRow* def;
    HeaderPattern pattern;
    std::vector<std::string> tokens;  // expanded, mixed case
    int instances;                    // 1 when no suffix
    int coupled = -1;                 // index of the coupled row
    int first = 1;                    // lowest suffix
  };

  const std::vector<Row>& rows() const { return rows_; }
  // Rows [0, handRows()) are hand-made, the rest generated.
  size_t handRows() const { return handRows_; }
  // Generated rows left out because a hand-made row serves their header.
  const std::vector<const SettingRow*>& shadowed() const { return shadowed_; }
  int find(std::string_view pattern) const;  // by exact pattern text; -1 when absent

  // Instance index of a suffix, or -1 when out of range.
  int instanceOf(int row, int suffix) const;

  // Applies parameters; returns the error to queue, if any.
  std::optional<ScpiError> set(int row, int instance, const std::vector<Param>& params);
  std::string query(int row, int instance) const;

  const SettingValue& value(int row, int instance) const { return values_[row][instance]; }
  double number(std::string_view pattern, int suffix = 1) const;
  const std::string& text(std::string_view pattern, int suffix = 1) const;
  void setNumber(std::string_view pattern, int suffix, double v);

  void reset(bool includePersistent);
  // The instrument's set-up (every setting but the persistent and read-only ones) as bytes, and
  // back. A set-up this store did not make (another model's, or damaged) changes nothing and
  // gives false.
  std::string saveSetup() const;
  bool restoreSetup(std::string_view bytes);
  // Bumped on every change; lets the acquisition tell a stale record.
  unsigned long generation() const { return generation_; }

 private:
  SettingValue parseDefault(const Row& row, int instance) const;
  void propagate(int row, int instance);
  Row makeRow(const SettingRow& def, const ModelInfo& model) const;

  std::vector<Row> rows_;
  size_t handRows_ = 0;
  std::vector<const SettingRow*> shadowed_;
  std::vector<std::vector<SettingValue>> values_;
  std::vector<std::vector<SettingValue>> defaults_;  // per row and instance, as after *RST
  unsigned long generation_ = 0;
};

// Looks up a token: returns the canonical (short, upper-case) form or empty.
std::string matchToken(const std::vector<std::string>& tokens, std::string_view word);

}  // namespace korvane::sim
