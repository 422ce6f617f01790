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

  // The unit keeps one answer queue for every program: the message and the
  // replies that answer it are one exchange, and no other program (korvelctl
  // beside the panel) may send or take replies in between.
  // The lock is the selected unit's: a unit is selected first.
  if (!handle) selectAgain();
  HANDLE exchange = usbdevs_exchange_begin(handle);
  bool sent = false;
  if (exchange == nullptr) {
    emit vx_send_result(false);
  } else {
    sent = vxctl_send(&handle, &msg) == 0;
    emit vx_send_result(sent);
  }
  QThread::msleep(interval);
  // A failed send has no answers; its one receive reports the failure too.
  QByteArray replies;
  // An exchange the lock was taken from (it held on too long while another
  // program waited) may have read another program's replies.
  bool ok = receiveAnswers(exchange, sent ? kExchangeReplies : 1, &replies);
  if (usbdevs_exchange_end(exchange) != 0) ok = false;
  emit vx_recv_result(ok, replies);
  QThread::msleep(interval);
}

void QVXDeviceUnit::vx_recv() {
  if (!handle) selectAgain();
  HANDLE exchange = usbdevs_exchange_begin(handle);
  QByteArray replies;
  bool ok = receiveAnswers(exchange, kExchangeReplies, &replies);
  if (usbdevs_exchange_end(exchange) != 0) ok = false;
  emit vx_recv_result(ok, replies);
  QThread::msleep(interval);
}

bool QVXDeviceUnit::receiveAnswers(HANDLE exchange, int most, QByteArray* replies) {
  *replies = QByteArray(VXMSG_MAX, '\0');  // a failed receive reports zero bytes
  // Without the exchange lock a receive could take another program's answer.
  if (exchange == nullptr) return false;
  for (int reply = 0; reply < most; ++reply) {
    if (reply > 0) QThread::msleep(interval);
    uint8_t mem[VXMSG_MAX] = {};
    vxmsg_buf_t msg;
    vxmsg_init(&msg, mem, VXMSG_MAX);
    if ((!handle && !selectAgain()) || vxctl_recv(&handle, &msg) != 0) {
      // The replies read so far are answers all the same; a unit that went
      // away fails the next transfer too, and that one reports it.
      return reply > 0;
    }
    const QByteArray bytes(reinterpret_cast<const char*>(mem), VXMSG_MAX);
    if (reply == 0) {
      *replies = bytes;
    } else {
      replies->append(bytes);
    }
    // A reply that carries nothing but the ready marker: the queue is empty.
    vxmsg_init(&msg, mem, VXMSG_MAX);
    uint32_t cmd = 0;
    uint32_t type = 0;
    uint64_t value = 0;
    uint8_t size = 0;
    bool answers = false;
    while (!answers && vxmsg_get(&msg, &cmd, &type, &value, &size) == 0) answers = cmd != VXMSG_CMD_READY;
    if (!answers) break;
  }
  return true;
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
