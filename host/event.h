#ifndef HOST_EVENT_H_
#define HOST_EVENT_H_

#include <cstddef>
#include <cstdint>

// Records of the DAQ event format, in host byte order with natural alignment.

struct time_stamp {
  std::uint32_t timeup;   // seconds since the Unix epoch
  std::uint32_t timelow;  // microseconds within that second
};

// The bare event-number-and-time record every header is reduced to.
struct vrel_time_id {
  std::uint32_t event_number;  // 0 means no event
  time_stamp time;
};

enum VREL_EVTYPE : std::int32_t {
  VREL_EV_HB = 0,
  VREL_EV_NORMAL = 1,
  VREL_EV_BOR = 2,
  VREL_EV_EOR = 3,
  VREL_EV_ENV = 4,
  VREL_EV_UPD = 5,
  VREL_EV_IMAGE = 6,
  VREL_EV_WS = 7,
  VREL_EV_MCP = 8,
  VREL_EV_WSS = 9,
  VREL_EV_BL1 = 10,
  VREL_EV_BL2 = 11,
  VREL_EV_BL3 = 12,
  VREL_EV_PG0 = 13,
  VREL_EV_PG1 = 14,
  VREL_EV_PG2 = 15,
  VREL_EV_GMD = 16,
  VREL_EV_PHOTEN = 17,
  VREL_EV_PHOTWL = 18,
  VREL_EV_BEAM_ENERGY = 19,
  VREL_EV_LLRF_ML = 20,
  VREL_EV_BEAM_ENERGY_BYPASS = 21,
  VREL_EV_SPECTR_1 = 22,
  VREL_EV_SPECTR_2 = 23,
  VREL_EV_SPECTR_3 = 24,
  VREL_EV_SPECTR_4 = 25,
  VREL_EV_SPECTR_5 = 26,
  VREL_EV_TOROID_ML = 27,
  VREL_EV_28 = 28,
  VREL_EV_29 = 29,
  VREL_EV_30 = 30,
  VREL_EV_31 = 31,
  VREL_EV_EVMAX = 32,  // count of types, not a type
};

// Header of a whole event.
struct vrel_eventheader {
  std::uint32_t pattern;
  std::uint32_t event_length;
  std::uint32_t event_number;
  VREL_EVTYPE event_type;
  time_stamp event_time;
  std::int32_t tmask;
  std::int32_t status;
  std::int32_t num_svr_block;
};

// Header of one server's block within an event.
struct vrel_serv_block_head_2010 {
  time_stamp time;
  std::int32_t ltotal;
  std::int32_t mpulse;  // event (macro-pulse) number of the block
  char server[256];
  std::int32_t tmask;
  std::int32_t status;
  std::int32_t nchan;
};

// The layouts are shared with every DAQ component and must not drift.
static_assert(sizeof(VREL_EVTYPE) == 4, "event type is a 32-bit enumeration");
static_assert(sizeof(time_stamp) == 8 && offsetof(time_stamp, timelow) == 4,
              "time_stamp layout");
static_assert(sizeof(vrel_time_id) == 12 && offsetof(vrel_time_id, time) == 4,
              "vrel_time_id layout");
static_assert(sizeof(vrel_eventheader) == 36 && offsetof(vrel_eventheader, event_number) == 8 &&
                  offsetof(vrel_eventheader, event_type) == 12 &&
                  offsetof(vrel_eventheader, event_time) == 16 &&
                  offsetof(vrel_eventheader, tmask) == 24 &&
                  offsetof(vrel_eventheader, status) == 28 &&
                  offsetof(vrel_eventheader, num_svr_block) == 32,
              "vrel_eventheader layout");
static_assert(sizeof(vrel_serv_block_head_2010) == 284 &&
                  offsetof(vrel_serv_block_head_2010, ltotal) == 8 &&
                  offsetof(vrel_serv_block_head_2010, mpulse) == 12 &&
                  offsetof(vrel_serv_block_head_2010, server) == 16 &&
                  offsetof(vrel_serv_block_head_2010, tmask) == 272 &&
                  offsetof(vrel_serv_block_head_2010, status) == 276 &&
                  offsetof(vrel_serv_block_head_2010, nchan) == 280,
              "vrel_serv_block_head_2010 layout");

#endif  // HOST_EVENT_H_
