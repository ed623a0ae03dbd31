#include "evutl.h"

#include <cstdio>

namespace {

// Indexed by the VREL_EVTYPE value.
constexpr const char* kEventNames[] = {
    "VREL_EV_HB",       "VREL_EV_NORMAL",
    "VREL_EV_BOR",      "VREL_EV_EOR",
    "VREL_EV_ENV",      "VREL_EV_UPD",
    "VREL_EV_IMAGE",    "VREL_EV_WS",
    "VREL_EV_MCP",      "VREL_EV_WSS",
    "VREL_EV_BL1",      "VREL_EV_BL2",
    "VREL_EV_BL3",      "VREL_EV_PG0",
    "VREL_EV_PG1",      "VREL_EV_PG2",
    "VREL_EV_GMD",      "VREL_EV_PHOTEN",
    "VREL_EV_PHOTWL",   "VREL_EV_BEAM_ENERGY",
    "VREL_EV_LLRF_ML",  "VREL_EV_BEAM_ENERGY_BYPASS",
    "VREL_EV_SPECTR_1", "VREL_EV_SPECTR_2",
    "VREL_EV_SPECTR_3", "VREL_EV_SPECTR_4",
    "VREL_EV_SPECTR_5", "VREL_EV_TOROID_ML",
    "VREL_EV_28",       "VREL_EV_29",
    "VREL_EV_30",       "VREL_EV_31",
    "VREL_EV_EVMAX",
};
constexpr int kEventNameCount = static_cast<int>(sizeof(kEventNames) / sizeof(kEventNames[0]));
static_assert(kEventNameCount == 33, "one name for each value from 0 to 32");

}  // namespace

const char* event_name_itoa(int event_type) {
  if (event_type >= 0 && event_type < kEventNameCount) return kEventNames[event_type];
  // "VREL_EV_UNKNOWN(4294967295)" is the longest text: 27 characters.
  thread_local char buffer[32];
  std::snprintf(buffer, sizeof buffer, "VREL_EV_UNKNOWN(%u)",
                static_cast<unsigned int>(event_type));
  return buffer;
}
