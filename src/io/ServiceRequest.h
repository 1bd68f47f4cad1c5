// Service-request configuration: which status-register enable masks make the instrument assert
// SRQ for a set of KorvaneStatusSRQReason flags, and the one command that programs them.
#pragma once

#include <korvane/KorvanePlatform.h>

namespace korvane {

struct IErrorReporter;
struct IIoSession;

// Model features that decide which flags are allowed and which command form is sent.
struct ServiceRequestFeatures {
  bool overloadRegister = false;
  bool maskTest = false;
};

struct ServiceRequestMasks {
  LONG sre = 0;   // service request enable
  LONG ese = 0;   // standard event status enable
  LONG opee = 0;  // operation status enable
  LONG ovl = 0;   // overload enable
  LONG mte = 0;   // mask test enable

  bool operator==(const ServiceRequestMasks&) const = default;
};

// Highest accepted reason: every defined flag set.
inline constexpr LONG kServiceRequestReasonMax = 0x0FFFFFFF;

// The masks for `reason`, ORed over its flags. A reason of 0 or above kServiceRequestReasonMax,
// an overload flag without the overload register and a mask-test flag without mask test are
// refused through `reporter` (its result returned, `masks` untouched).
HRESULT ComputeServiceRequestMasks(LONG reason, ServiceRequestFeatures features, IErrorReporter* reporter,
                                   ServiceRequestMasks* masks);

// The command form for the model: every form clears status first and begins with a blank.
const char* ServiceRequestCommandFormat(ServiceRequestFeatures features) noexcept;

// Sends the masks with the model's command form as one formatted write (status check included).
HRESULT WriteServiceRequestMasks(IIoSession& io, ServiceRequestFeatures features, const ServiceRequestMasks& masks);

}  // namespace korvane
