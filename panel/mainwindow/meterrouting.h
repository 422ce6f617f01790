// Meter routing: where each meter record of a model's answer goes in the
// 97-slot scratch table, and which slots fill the 24 displayed channels for
// each meter source.
#ifndef PANEL_MAINWINDOW_METERROUTING_H
#define PANEL_MAINWINDOW_METERROUTING_H

#include <cstdint>

#include "drawlevelmeter.h"
#include "modelpages.h"
#include "vxmsg.h"

namespace meterrouting {

constexpr int kScratchSlots = 97;

// Scratch slot of record (type, number) in `model`'s answer; -1 when the
// record has no place (a type without a block, number 0, beyond slot 96).
int slotOf(int model, vxmsg_data_ch_t type, uint8_t number);

// Levels of the displayed channels for meter source `source`: the source's
// block fills channels 1, 2, ... in order, the main pair comes from fixed
// slots. A source outside 0 to 3 fills from slot 0 and leaves the main pair
// (and Dorrit's AUX and SUB channels) as they were.
void copyBySource(int model, MeterSource source, const uint16_t* scratch, MeterChannel* channels);

}  // namespace meterrouting

#endif
