// What a kernel-streaming client can check of a streaming pin's
// KSPROPERTY_AUDIO_POSITION on every read, from what it handed the pin and
// the states it set ("KSAUDIO_POSITION", "Audio Position Property"): the
// offsets are stream-relative bytes; WriteOffset is the end of what the
// client submitted, PlayOffset what the device played (render) or filled
// (capture) of it, never beyond WriteOffset; neither goes back while the pin
// streams. Positions start over at ACQUIRE and STOP (our driver's choice,
// which a client sees as a restart from 0).
// Source: "KSAUDIO_POSITION structure (ksmedia.h)" (Microsoft Learn):
// stream-relative offsets for a non-looped stream, WriteOffset grows as
// buffers are received, PlayOffset as they are played or captured. The bounds
// checked below are our own reading of it.
#ifndef KORVEL_SIM_KERNEL_KS_POSITION_WATCH_H
#define KORVEL_SIM_KERNEL_KS_POSITION_WATCH_H

#include <ks.h>
#include <ksmedia.h>

#include <cstdint>
#include <string>

namespace korvel::sim::kernel::ks {

class PositionWatch {
 public:
  // A frame handed to the pin: its DataUsed (render) or FrameExtent (capture).
  void submitted(uint64_t bytes) { submitted_ += bytes; }
  // After a state change that succeeded. STOP hands every frame back;
  // ACQUIRE from PAUSE drops what was taken before, so that WriteOffset is
  // then only bounded by what was submitted (our own choice).
  void state(KSSTATE to, KSSTATE from) {
    if (to == KSSTATE_STOP) {
      submitted_ = 0;
      exact_ = true;
    } else if (to == KSSTATE_ACQUIRE && from != KSSTATE_STOP) {
      exact_ = false;
    }
    if (to == KSSTATE_STOP || to == KSSTATE_ACQUIRE) last_ = KSAUDIO_POSITION{};
  }
  // Checks one reading; `played_limit`: the most the device can have played
  // of the client's data (render; what the unit received), if the caller
  // knows it. Empty when the reading keeps the rules, else what it broke.
  std::string read(const KSAUDIO_POSITION& p, uint64_t played_limit = UINT64_MAX) {
    std::string why;
    if (p.PlayOffset > p.WriteOffset) why = "PlayOffset is past WriteOffset";
    if (exact_ && p.WriteOffset != submitted_) {
      why = "WriteOffset is not the end of what was submitted (" + std::to_string(submitted_) + ")";
    } else if (p.WriteOffset > submitted_) {
      why = "WriteOffset is past what was submitted (" + std::to_string(submitted_) + ")";
    }
    if (p.PlayOffset > played_limit)
      why = "PlayOffset is past what the device received (" + std::to_string(played_limit) + ")";
    if (p.PlayOffset < last_.PlayOffset) why = "PlayOffset went back";
    if (p.WriteOffset < last_.WriteOffset) why = "WriteOffset went back";
    if (!why.empty()) {
      why += ": play " + std::to_string(p.PlayOffset) + ", write " + std::to_string(p.WriteOffset);
    }
    last_ = p;
    return why;
  }

 private:
  uint64_t submitted_ = 0;  // since the last STOP
  bool exact_ = true;
  KSAUDIO_POSITION last_{};
};

}  // namespace korvel::sim::kernel::ks

#endif
