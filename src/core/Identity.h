// Identity of the driver and its supported models.
#pragma once

#include <korvane/KorvanePlatform.h>
#include <korvane/KorvaneVersion.h>

#include <string>
#include <string_view>

namespace korvane::identity {

inline constexpr char kDriverPrefix[] = "Korvane";
inline constexpr char kIdentifier[] = "Korvane";
inline constexpr char kRevision[] = KORVANE_DRIVER_REVISION;
inline constexpr char kDescription[] =
    "Korvane is an IVI driver for the Avel, Bormo, Cadri, Dovin, Efrai and Forsa oscilloscope families.";
inline constexpr char kGroupCapabilities[] =
    "IviScopeBase,IviScopeInterpolation,IviScopeTVTrigger,IviScopeRuntTrigger,IviScopeGlitchTrigger,"
    "IviScopeWidthTrigger,IviScopeAcLineTrigger,IviScopeWaveformMeas,IviScopeMinMaxWaveform,"
    "IviScopeProbeAutoSense,IviScopeContinuousAcquisition,IviScopeAverageAcquisition,IviScopeSampleMode,"
    "IviScopeTriggerModifier,IviScopeAutoSetup";
inline constexpr LONG kSpecificationMajorVersion = 4;
inline constexpr LONG kSpecificationMinorVersion = 1;
inline constexpr bool kInterchangeCheckSupported = false;

const char* Vendor() noexcept;
// The description with the build's word size appended.
const std::string& DescriptionForBuild();
// All model identifiers, comma-separated, in table order.
const std::string& SupportedInstrumentModels();
// The model a simulated session reports when the option string names none.
const char* DefaultSimulationModel() noexcept;
// Exact (case-sensitive) membership in the model table.
bool IsSupportedModelId(std::string_view model) noexcept;

}  // namespace korvane::identity
