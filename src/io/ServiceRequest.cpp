#include "io/ServiceRequest.h"

#include "base/ErrorReporter.h"
#include "io/IoSession.h"

#include <array>

namespace korvane {

namespace {

enum class Needs { Nothing, OverloadRegister, MaskTest };

struct ReasonBit {
  LONG sre, ese, opee, ovl, mte;
  Needs needs;
  const char* name;  // the flag named when the model lacks what it needs
};

// One row per flag, from bit 0 up.
constexpr std::array<ReasonBit, 28> kReasonBits{{
    {16, 0, 0, 0, 0, Needs::Nothing, nullptr},
    {2, 0, 0, 0, 0, Needs::Nothing, nullptr},
    {4, 0, 0, 0, 0, Needs::Nothing, nullptr},
    {1, 0, 0, 0, 0, Needs::Nothing, nullptr},
    {32, 1, 0, 0, 0, Needs::Nothing, nullptr},
    {32, 4, 0, 0, 0, Needs::Nothing, nullptr},
    {32, 8, 0, 0, 0, Needs::Nothing, nullptr},
    {32, 16, 0, 0, 0, Needs::Nothing, nullptr},
    {32, 32, 0, 0, 0, Needs::Nothing, nullptr},
    {32, 64, 0, 0, 0, Needs::Nothing, nullptr},
    {32, 2, 0, 0, 0, Needs::Nothing, nullptr},
    {32, 128, 0, 0, 0, Needs::Nothing, nullptr},
    {128, 0, 8, 0, 0, Needs::Nothing, nullptr},
    {128, 0, 32, 0, 0, Needs::Nothing, nullptr},
    {128, 0, 2048, 64, 0, Needs::OverloadRegister, "KorvaneStatusSRQReasonOvlrChannel1Fault"},
    {128, 0, 2048, 128, 0, Needs::OverloadRegister, "KorvaneStatusSRQReasonOvlrChannel2Fault"},
    {128, 0, 2048, 256, 0, Needs::OverloadRegister, "KorvaneStatusSRQReasonOvlrChannel3Fault"},
    {128, 0, 2048, 512, 0, Needs::OverloadRegister, "KorvaneStatusSRQReasonOvlrChannel4Fault"},
    {128, 0, 2048, 1024, 0, Needs::OverloadRegister, "KorvaneStatusSRQReasonOvlrExternalTriggerFault"},
    {128, 0, 2048, 1, 0, Needs::OverloadRegister, "KorvaneStatusSRQReasonOvlrChannel1Overload"},
    {128, 0, 2048, 2, 0, Needs::OverloadRegister, "KorvaneStatusSRQReasonOvlrChannel2Overload"},
    {128, 0, 2048, 4, 0, Needs::OverloadRegister, "KorvaneStatusSRQReasonOvlrChannel3Overload"},
    {128, 0, 2048, 8, 0, Needs::OverloadRegister, "KorvaneStatusSRQReasonOvlrChannel4Overload"},
    {128, 0, 2048, 16, 0, Needs::OverloadRegister, "KorvaneStatusSRQReasonOvlrExternalTriggerOverload"},
    {128, 0, 512, 0, 1, Needs::MaskTest, "KorvaneStatusSRQReasonMterComplete"},
    {128, 0, 512, 0, 2, Needs::MaskTest, "KorvaneStatusSRQReasonMterFail"},
    {128, 0, 512, 0, 256, Needs::MaskTest, "KorvaneStatusSRQReasonMterStarted"},
    {128, 0, 512, 0, 1024, Needs::MaskTest, "KorvaneStatusSRQReasonMterAutoMask"},
}};

constexpr const char* kFormBoth = " *CLS; *SRE %d; *ESE %d; :OPEE %d;:OVLenable %d;:MTEenable %d";
constexpr const char* kFormOverload = " *CLS; *SRE %d; *ESE %d; :OPEE %d;:OVLenable %d";
constexpr const char* kFormMaskTest = " *CLS; *SRE %d; *ESE %d; :OPEE %d;:MTEenable %d";

}  // namespace

HRESULT ComputeServiceRequestMasks(LONG reason, ServiceRequestFeatures features, IErrorReporter* reporter,
                                   ServiceRequestMasks* masks) {
  if (!reporter) return E_POINTER;
  if (!masks) return reporter->NullPointer("ComputeServiceRequestMasks", "masks", nullptr);
  if (reason <= 0 || reason > kServiceRequestReasonMax)
    return reporter->InvalidValue("ConfigureServiceRequest", "Reason", reason, "%d", nullptr);
  ServiceRequestMasks m;
  for (std::size_t i = 0; i < kReasonBits.size(); ++i) {
    if ((reason & (LONG{1} << i)) == 0) continue;
    const ReasonBit& b = kReasonBits[i];
    if (b.needs == Needs::OverloadRegister && !features.overloadRegister) return reporter->NotSupportedByModel(b.name);
    if (b.needs == Needs::MaskTest && !features.maskTest) return reporter->OptionNotPresent();
    m.sre |= b.sre;
    m.ese |= b.ese;
    m.opee |= b.opee;
    m.ovl |= b.ovl;
    m.mte |= b.mte;
  }
  *masks = m;
  return S_OK;
}

const char* ServiceRequestCommandFormat(ServiceRequestFeatures features) noexcept {
  if (features.overloadRegister) return features.maskTest ? kFormBoth : kFormOverload;
  return kFormMaskTest;
}

HRESULT WriteServiceRequestMasks(IIoSession& io, ServiceRequestFeatures features, const ServiceRequestMasks& m) {
  const char* form = ServiceRequestCommandFormat(features);
  const int sre = static_cast<int>(m.sre), ese = static_cast<int>(m.ese), opee = static_cast<int>(m.opee);
  if (form == kFormBoth)
    return io.FormattedWrite(form, sre, ese, opee, static_cast<int>(m.ovl), static_cast<int>(m.mte));
  if (form == kFormOverload) return io.FormattedWrite(form, sre, ese, opee, static_cast<int>(m.ovl));
  return io.FormattedWrite(form, sre, ese, opee, static_cast<int>(m.mte));
}

}  // namespace korvane
