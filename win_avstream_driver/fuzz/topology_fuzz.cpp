// Arbitrary configuration-descriptor bytes into topology discovery and the
// helpers that read what it found.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "topology.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes, so that any read past it is caught.
  std::vector<uint8_t> copy(data, data + size);
  USB_AUDIO_TOPOLOGY t;
  TOPOLOGY_RESULT r = TopologyDiscover(copy.data(), copy.size(), &t);
  (void)TopologyResultText(r);
  const AltSettingSlot* sets[2] = {t.CaptureSlots, t.RenderSlots};
  for (const AltSettingSlot* slots : sets) {
    uint32_t sum = SlotsMaxDataPacket(slots) + SlotsMaxFeedbackPacket(slots);
    for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
      sum += SlotChannels(&slots[i]) + SlotBits(&slots[i]) + SlotSubslotBytes(&slots[i]);
      if (slots[i].Interface != nullptr) sum += DescriptorAlternateSetting(slots[i].Interface);
      if (slots[i].DataEndpoint != nullptr) sum += DescriptorEndpointAddress(slots[i].DataEndpoint);
    }
    (void)SlotFindForFormat(slots, sum & 0xFF, 24);
    DIRECTION_LIMITS limits;
    ComputeLimits(slots, copy.data(), copy.size(), &limits);
  }
  if (t.RenderPath.ClockSource != nullptr) (void)DescriptorClockId(t.RenderPath.ClockSource);
  if (t.CapturePath.ClockSource != nullptr) (void)DescriptorClockId(t.CapturePath.ClockSource);
  return 0;
}
