// The device worker: every transfer to the unit happens here, on the worker
// thread, each followed by a short sleep that paces the unit's traffic.
#include "qvxdeviceunit.h"

#include <QThread>
#include <cstring>

QVXDeviceUnit::QVXDeviceUnit(QObject* parent) : QObject(parent) {
  interval = 10;
  vxdev_init(&device);
  // The first search runs in the constructing thread; nobody listens yet.
  select_default();
}

bool QVXDeviceUnit::selectAgain() {
  select_default();
  return handle != nullptr;
}

void QVXDeviceUnit::deselect() {
  handle = nullptr;
  emit ret_deselect(true);
}

void QVXDeviceUnit::is_selected() {
  if (handle) {
    emit ret_is_selected(true);
  } else {
    emit ret_is_selected(selectAgain());
  }
}

void QVXDeviceUnit::select_default() {
  handle = nullptr;
  emit ret_deselect(true);
  vxdev_reset(&device);
  usbdevs_handle h = nullptr;
  const bool ok = vxdev_open(&device, &h) == 0 && h != nullptr;
  handle = ok ? h : nullptr;
  emit ret_select_default(ok);
}

void QVXDeviceUnit::vx_send(QByteArray vxmsg_data) {
  uint8_t mem[VXMSG_MAX] = {};
  const int n = qMin(vxmsg_data.size(), int(VXMSG_MAX));
  std::memcpy(mem, vxmsg_data.constData(), size_t(n));
  vxmsg_buf_t msg;
  vxmsg_init(&msg, mem, uint8_t(n));
  msg.pos = uint8_t(n);

  if (!handle && !selectAgain()) {
    emit vx_send_result(false);
  } else {
    emit vx_send_result(vxctl_send(&handle, &msg) == 0);
  }
  QThread::msleep(interval);
  vx_recv();
}

void QVXDeviceUnit::vx_recv() {
  uint8_t mem[VXMSG_MAX] = {};
  bool ok = false;
  if (handle || selectAgain()) {
    vxmsg_buf_t msg;
    vxmsg_init(&msg, mem, VXMSG_MAX);
    ok = vxctl_recv(&handle, &msg) == 0;
    if (!ok) std::memset(mem, 0, sizeof mem);  // a failed reply is not to be read
  }
  emit vx_recv_result(ok, QByteArray(reinterpret_cast<const char*>(mem), VXMSG_MAX));
  QThread::msleep(interval);
}

bool QVXDeviceUnit::fetchMeter(VXMeterLayout layout, QByteArray* bytes, int* num) {
  const int capacity = kVXMeterRecords[layout];
  vxctl_meter_t records[kVXMeterRecordsMax];
  std::memset(records, 0, sizeof records);
  uint8_t count = 0;
  bool ok = false;
  if (handle || selectAgain()) {
    ok = vxctl_get_meter(&handle, records, uint8_t(capacity), &count) == 0;
  }
  if (!ok) {
    std::memset(records, 0, sizeof records);
    count = 0;
  }
  *bytes = QByteArray(reinterpret_cast<const char*>(records), int(sizeof(vxctl_meter_t)) * capacity);
  *num = count;
  return ok;
}

void QVXDeviceUnit::vx_get_meter() {
  QByteArray bytes;
  int num = 0;
  const bool ok = fetchMeter(VXMETER_COMMON, &bytes, &num);
  emit ret_get_meter(ok, bytes, num);
  QThread::msleep(interval);
}

void QVXDeviceUnit::vx_get_meter_qnb() {
  QByteArray bytes;
  int num = 0;
  const bool ok = fetchMeter(VXMETER_QNB, &bytes, &num);
  emit ret_get_meter_qnb(ok, bytes, num);
  QThread::msleep(interval);
}

void QVXDeviceUnit::vx_get_meter_zr() {
  QByteArray bytes;
  int num = 0;
  const bool ok = fetchMeter(VXMETER_ZR, &bytes, &num);
  emit ret_get_meter_zr(ok, bytes, num);
  QThread::msleep(interval);
}

void QVXDeviceUnit::vx_get_meter_pln() {
  QByteArray bytes;
  int num = 0;
  const bool ok = fetchMeter(VXMETER_PLN, &bytes, &num);
  emit ret_get_meter_pln(ok, bytes, num);
  QThread::msleep(interval);
}

void QVXDeviceUnit::vx_get_meter_drt() {
  QByteArray bytes;
  int num = 0;
  const bool ok = fetchMeter(VXMETER_DRT, &bytes, &num);
  emit ret_get_meter_drt(ok, bytes, num);
  QThread::msleep(interval);
}
