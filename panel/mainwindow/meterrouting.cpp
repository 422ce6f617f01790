// Meter routing tables per model.
#include "meterrouting.h"

namespace meterrouting {
namespace {

// Block start per channel type, by model; -1: no block. Columns: types 4, 7,
// 3, 6, 2, 8, any other.
constexpr int kBlockStart[ModelCount][7] = {
    {0, 22, 46, 68, 90, 96, -1},  // Tarrow (97 records)
    {0, 26, 50, 72, 22, -1, -1},  // Quenby (94)
    {0, 18, 34, 48, 14, -1, -1},  // Pellin (62)
    {0, 10, 22, 32, 42, 52, 52},  // Dorrit (62)
    {0, 24, 48, 72, -1, -1, -1},  // Far Link (96)
};

int typeColumn(vxmsg_data_ch_t type) {
  switch (type) {
    case VXMSG_DATA_CH_ANALOG_IN:
      return 0;
    case VXMSG_DATA_CH_SOURCE_7:
      return 1;
    case VXMSG_DATA_CH_COMPUTER_OUT:
      return 2;
    case VXMSG_DATA_CH_SOURCE_6:
      return 3;
    case VXMSG_DATA_CH_MASTER_OUT:
      return 4;
    case VXMSG_DATA_CH_SOURCE_8:
      return 5;
    default:
      return 6;
  }
}

// Per model: the block start for sources 0 to 3 (types 6, 4, 3, 7), the
// main pair's slots for sources 0 to 2 and for source 3 (-1: the block fills
// them too), and how many channels the block fills.
struct Route {
  int start[4];
  int mainL, mainR;
  int mainL3, mainR3;
  int filled;
};
constexpr Route kRoutes[ModelCount] = {
    {{68, 0, 46, 22}, 94, 95, 44, 45, 22},  // Tarrow: master out 5, 6; type 7 numbers 23, 24
    {{72, 0, 50, 26}, 22, 23, 48, 49, 22},  // Quenby: master out 1, 2; type 7 numbers 23, 24
    {{48, 0, 34, 18}, 14, 15, 32, 33, 22},  // Pellin: master out 1, 2; type 7 numbers 15, 16
    {{32, 0, 22, 10}, 42, 43, 20, 21, 16},  // Dorrit: master out 1, 2; type 7 numbers 11, 12
    {{72, 0, 48, 24}, -1, -1, -1, -1, 24},  // Far Link: 24 in a row
};

}  // namespace

int slotOf(int model, vxmsg_data_ch_t type, uint8_t number) {
  if (model < 0 || model >= ModelCount || number == 0) return -1;
  const int start = kBlockStart[model][typeColumn(type)];
  if (start < 0) return -1;
  const int slot = start + number - 1;
  return slot < kScratchSlots ? slot : -1;
}

void copyBySource(int model, MeterSource source, const uint16_t* scratch, MeterChannel* channels) {
  if (model < 0 || model >= ModelCount) return;
  const Route& route = kRoutes[model];
  const bool known = source <= MeterSource::MtrReturn;
  const int start = known ? route.start[unsigned(source)] : 0;
  for (int i = 0; i < route.filled; ++i) channels[i].level = scratch[start + i];
  if (!known || route.mainL < 0) return;
  const bool mtr = source == MeterSource::MtrReturn;
  channels[22].level = scratch[mtr ? route.mainL3 : route.mainL];
  channels[23].level = scratch[mtr ? route.mainR3 : route.mainR];
  if (model == ModelDorrit) {
    channels[16].level = scratch[44];  // AUX1: master out 3
    channels[17].level = 0;
    channels[18].level = scratch[45];  // AUX2: master out 4
    channels[19].level = 0;
    channels[20].level = scratch[46];  // SUB: master out 5 and 6
    channels[21].level = scratch[47];
  }
}

}  // namespace meterrouting
