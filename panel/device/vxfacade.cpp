// The device facade over the proxy. Its debug lines keep their wording,
// spacing and spelling ("3_4", "Loopback Out :MONO") on purpose: logs of the
// panel are read beside those of its earlier releases.
#include "vxfacade.h"

#include <QDebug>

namespace vxfacade {

bool isSelected(QVXDevice& dev) {
  return dev.is_selected();
}
bool deselect(QVXDevice& dev) {
  return dev.deselect();
}
void clearMeters(QVXDevice& dev) {
  dev.clear_meters();
}

void requestInfo(QVXDevice& dev) {
  dev.req_info();
}
void requestHz(QVXDevice& dev) {
  dev.req_hz();
}
void requestAutoPowerSave(QVXDevice& dev) {
  dev.req_autopowersave();
}
void requestSerialNumber(QVXDevice& dev) {
  dev.req_serialnumber();
}
void requestRecFunc(QVXDevice& dev) {
  dev.req_recfunc();
}
void requestStereo(QVXDevice& dev) {
  dev.req_stereo();
}
void requestMute(QVXDevice& dev) {
  dev.req_mute();
}
void requestFader(QVXDevice& dev) {
  dev.req_fader();
}
void requestAssign(QVXDevice& dev) {
  dev.req_assign();
}

MeterFetch fetchMeter(QVXDevice& dev, VXMeterLayout layout, const MeterSink& sink) {
  const int count = kVXMeterRecords[layout];
  vxctl_meter_t records[kVXMeterRecordsMax] = {};
  int num = 0;
  bool ok = false;
  switch (layout) {
    case VXMETER_COMMON:
      ok = dev.get_meter(records, count, &num);
      break;
    case VXMETER_QNB:
      ok = dev.get_meter_qnb(records, count, &num);
      break;
    case VXMETER_ZR:
      ok = dev.get_meter_zr(records, count, &num);
      break;
    case VXMETER_PLN:
      ok = dev.get_meter_pln(records, count, &num);
      break;
    case VXMETER_DRT:
      ok = dev.get_meter_drt(records, count, &num);
      break;
    default:
      return MeterFetch::Failed;
  }
  // Whether a failure was reported is asked every time, so that it is
  // consumed even when a later fetch has succeeded in the meantime.
  const bool failed = dev.meter_fetch_failed(layout);
  if (ok && num > count) return MeterFetch::Failed;
  if (!ok) return failed ? MeterFetch::Failed : MeterFetch::Pending;
  for (int i = 0; i < count; ++i) {
    const uint16_t value = records[i].value > 32768 ? 0 : records[i].value;
    if (sink) sink(vxmsg_data_ch_t(records[i].type), records[i].number, value);
  }
  return MeterFetch::Fresh;
}

void setAutoPowerSave(QVXDevice& dev, bool on) {
  qDebug("Auto Power Save:%s", on ? "TRUE" : "FALSE");
  dev.set_autopowersave(on);
}

void setDirectMonitor(QVXDevice& dev, int channel, bool stereo) {
  qDebug("Direct Monitor %s:%s", channel == 1 ? "1-2" : "3_4", stereo ? "STEREO" : "MONO");
  dev.set_stereo(5, uint8_t(channel), stereo ? 4 : 1);
}

void setAudioInput(QVXDevice& dev, int input, bool enabled) {
  qDebug("Audio Input%d:%s", input, enabled ? "TRUE" : "FALSE");
  dev.set_mute(4, uint8_t(input), enabled ? 0 : 1);
}

void setInputVolume(QVXDevice& dev, int volume) {
  qDebug("Input Volume:%d", volume);
  dev.set_fader(5, 1, uint8_t(volume));
}

void assignLineOut(QVXDevice& dev, int source, int pair) {
  qDebug("Assign LineOut:%s  Index:%d", pair == 0 ? "1-2" : "3-4", source);
  static constexpr struct {
    uint32_t type;
    uint8_t number;
  } kSources[3] = {{5, 1}, {3, 1}, {3, 3}};
  if (source < 0 || source > 2 || pair < 0 || pair > 1) return;
  const auto& s = kSources[source];
  dev.set_assign(s.type, s.number, 1, uint8_t(2 * pair + 1));
  dev.set_assign(s.type, uint8_t(s.number + 1), 1, uint8_t(2 * pair + 2));
}

void setLoopback(QVXDevice& dev, bool on) {
  qDebug("Loopback:%s", on ? "TRUE" : "FALSE");
  dev.set_fader(9, 0, on ? 1 : 0);
}

void setLoopbackVolume(QVXDevice& dev, int volume) {
  qDebug("Loopback Volume:%d", volume);
  dev.set_fader(9, 1, uint8_t(volume));
}

void setLoopbackOutStereo(QVXDevice& dev, bool on) {
  qDebug(on ? "Loopback Out :STEREO" : "Loopback Out :MONO");
  dev.set_stereo(3, 1, on ? 4 : 1);
}

void setLoopbackInStereo(QVXDevice& dev, bool on) {
  qDebug(on ? "Loopback In :STEREO" : "Loopback In :MONO");
  dev.set_stereo(4, 1, on ? 4 : 1);
}

}  // namespace vxfacade
