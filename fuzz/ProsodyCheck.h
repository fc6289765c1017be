// The property shared by the harnesses that read prosody: what the channel
// sends to the service is within the ranges the service accepts.
#pragma once

#include <cfloat>
#include <cmath>

#include "FuzzSupport.h"
#include "Settings.h"

namespace vxfuzz {

inline void CheckProsodySent(const VXS::ProsodyParams& prosody) {
  double value = 0;
  if (VXS::GenerateProsodyRate(prosody.m_Rate, value)) {
    VXFUZZ_CHECK(value >= 0.25 && value <= 2.0, "the speaking rate is one the service accepts");
  }
  if (VXS::GenerateProsodyVolume(prosody.m_Volume, value)) {
    VXFUZZ_CHECK(value >= -96.0 && value <= 16.0, "the volume gain is one the service accepts");
  }
  if (!prosody.m_Pitch.empty()) {
    // The channel sends the pitch in single precision.
    const double pitch = VXS::ParsePitch(prosody.m_Pitch);
    VXFUZZ_CHECK(std::isfinite(pitch) && std::fabs(pitch) <= FLT_MAX,
                 "the pitch sent fits single precision");
    volatile float sent = static_cast<float>(pitch);
    (void)sent;
  }
}

}  // namespace vxfuzz
