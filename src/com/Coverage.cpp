// korvane-coverage: how much of the object model has behaviour, from the catalogue the build
// was generated from.
#include <cstdio>

#include <korvane/KorvaneCoverage.inc>

int main() {
  std::fputs(kCoverageReport, stdout);
  return 0;
}
