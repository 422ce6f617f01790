// What the simulated unit reads back from a USB Audio 2.0 configuration
// descriptor, whoever built it: its streaming interfaces with their settings
// and endpoints, its clock entities, the clock each terminal names and the
// number of its AudioControl interface. Malformed parts are skipped.
#ifndef KORVEL_SIM_UNIT_UAC2_PARSER_H
#define KORVEL_SIM_UNIT_UAC2_PARSER_H

#include <cstdint>
#include <map>
#include <vector>

#include "unit_audio.h"

namespace korvel::sim::uac2 {

// The streaming interfaces of a configuration descriptor as the unit routes
// them: per interface its alternate settings with their PCM format (idle when
// the setting carries none) and endpoints. Malformed parts are skipped.
struct StreamingSetting {
  uint8_t alt = 0;
  AudioFormat format;  // channels 0: idle
  uint8_t data_endpoint = 0;
  uint8_t data_interval = 1;  // bInterval of the data endpoint
  uint8_t data_sync = 1;      // its synchronization type (bmAttributes D3..2)
  uint8_t feedback_endpoint = 0;
  uint16_t feedback_bytes = 0;  // bytes per interval of the feedback endpoint
};
struct StreamingInterface {
  uint8_t number = 0;
  bool render = false;   // its data endpoints are OUT
  uint8_t terminal = 0;  // bTerminalLink of its first AS_GENERAL
  std::vector<StreamingSetting> settings;
};
std::vector<StreamingInterface> streaming_layout(const std::vector<uint8_t>& config);

// A clock entity of an AudioControl interface as its descriptor states it.
struct ClockEntity {
  enum class Kind { Source, Selector, Multiplier };
  Kind kind = Kind::Source;
  uint8_t id = 0;
  uint8_t attributes = 0;       // source: bmAttributes
  uint8_t controls = 0;         // bmControls
  std::vector<uint8_t> inputs;  // selector: baCSourceID; multiplier: bCSourceID
};
// The clock entities of a configuration descriptor, in order; malformed
// parts are skipped.
std::vector<ClockEntity> clock_entities(const std::vector<uint8_t>& config);

// The clock each terminal names: terminal ID to the bCSourceID of input and
// output terminals.
std::map<uint8_t, uint8_t> terminal_clocks(const std::vector<uint8_t>& config);
// The number of the first USB Audio 2.0 AudioControl interface; -1 for none.
int control_interface(const std::vector<uint8_t>& config);

}  // namespace korvel::sim::uac2

#endif
