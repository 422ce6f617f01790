// The device facade: the small set of functions through which the main window
// reaches the device proxy. Each returns at once; answers arrive as the
// proxy's sig_recv signals or from its meter caches.
#ifndef PANEL_DEVICE_VXFACADE_H
#define PANEL_DEVICE_VXFACADE_H

#include <cstdint>
#include <functional>

#include "qvxdevice.h"

// The one device proxy of the program, built before main runs.
QVXDevice& globalVXDevice();

namespace vxfacade {

bool isSelected(QVXDevice& dev);
bool deselect(QVXDevice& dev);
void clearMeters(QVXDevice& dev);

void requestInfo(QVXDevice& dev);
void requestHz(QVXDevice& dev);
void requestAutoPowerSave(QVXDevice& dev);
void requestSerialNumber(QVXDevice& dev);
void requestRecFunc(QVXDevice& dev);
void requestStereo(QVXDevice& dev);
void requestMute(QVXDevice& dev);
void requestFader(QVXDevice& dev);
void requestAssign(QVXDevice& dev);

// Receives one meter record by channel type and number; values above 32768
// have been replaced by 0.
using MeterSink = std::function<void(vxmsg_data_ch_t type, uint8_t number, uint16_t value)>;

// Outcome of a meter fetch.
enum class MeterFetch {
  Fresh,    // an answer since the last clear: every record went to the sink
  Pending,  // the answer is still under way; nothing went to the sink
  Failed    // a fetch failed (or answered more records than the layout holds)
};

// Meter fetch of one layout: the answer of the previous fetch, and the next
// fetch started or queued.
MeterFetch fetchMeter(QVXDevice& dev, VXMeterLayout layout, const MeterSink& sink);

void setAutoPowerSave(QVXDevice& dev, bool on);
void setDirectMonitor(QVXDevice& dev, int channel, bool stereo);
void setAudioInput(QVXDevice& dev, int input, bool enabled);
void setInputVolume(QVXDevice& dev, int volume);
// Source 0 to 2, output pair 0 (1-2) or 1 (3-4); other arguments do nothing.
void assignLineOut(QVXDevice& dev, int source, int pair);
void setLoopback(QVXDevice& dev, bool on);
void setLoopbackVolume(QVXDevice& dev, int volume);
void setLoopbackOutStereo(QVXDevice& dev, bool on);
void setLoopbackInStereo(QVXDevice& dev, bool on);

}  // namespace vxfacade

#endif
