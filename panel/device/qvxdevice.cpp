// The device proxy: request gathering, the ready handshake with the unit,
// reply decoding and the meter caches. Everything here runs on the GUI thread;
// the worker is reached only through queued signals.
#include "qvxdevice.h"

#include <QCoreApplication>
#include <QMetaType>
#include <QThread>
#include <cstring>
#include <vector>

namespace {

// Entries of the stereo query, one per message: (channel type, number).
constexpr struct {
  uint32_t type;
  uint8_t number;
} kStereoQuery[4] = {{5, 1}, {5, 3}, {3, 1}, {4, 1}};

// How long the proxy's destruction lets the worker finish its current
// transfer before the process goes on without it.
constexpr unsigned long kWorkerFinishMs = 2000;

void registerMetaTypes() {
  qRegisterMetaType<vxmsg_data_ch_t>("vxmsg_data_ch_t");
  qRegisterMetaType<vxmsg_data_ch_type_t>("vxmsg_data_ch_type_t");
  qRegisterMetaType<uint32_t>("uint32_t");
  qRegisterMetaType<uint16_t>("uint16_t");
  qRegisterMetaType<uint8_t>("uint8_t");
}

// The program-wide proxy is made before main: its worker's event loop needs
// the application object, so a thread made before it starts as soon as the
// application exists (requests queued meanwhile wait in the thread's queue).
std::vector<QPointer<QThread>>& threadsAwaitingApplication() {
  static std::vector<QPointer<QThread>> threads;
  return threads;
}

void startThreadsAwaitingApplication() {
  for (const QPointer<QThread>& t : threadsAwaitingApplication()) {
    if (t) t->start(QThread::InheritPriority);
  }
  threadsAwaitingApplication().clear();
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(startThreadsAwaitingApplication)

QVXDevice::QVXDevice(QObject* parent) : QObject(parent) {
  registerMetaTypes();

  worker = new QVXDeviceUnit();
  thread = new QThread();
  worker->moveToThread(thread);
  connect(worker, &QVXDeviceUnit::finished, thread, &QThread::quit);
  connect(worker, &QVXDeviceUnit::finished, worker, &QObject::deleteLater);
  connect(thread, &QThread::finished, thread, &QObject::deleteLater);
  if (QCoreApplication::instance() != nullptr) {
    thread->start(QThread::InheritPriority);
  } else {
    threadsAwaitingApplication().emplace_back(thread);
  }

  connect(this, &QVXDevice::sig_deselect, worker, &QVXDeviceUnit::deselect);
  connect(worker, &QVXDeviceUnit::ret_deselect, this, &QVXDevice::recv_deselect);
  connect(this, &QVXDevice::sig_is_selected, worker, &QVXDeviceUnit::is_selected);
  connect(worker, &QVXDeviceUnit::ret_is_selected, this, &QVXDevice::recv_is_selected);
  connect(this, &QVXDevice::sig_vx_send, worker, &QVXDeviceUnit::vx_send);
  connect(worker, &QVXDeviceUnit::vx_send_result, this, &QVXDevice::recv_vx_send_result);
  connect(this, &QVXDevice::sig_vx_recv, worker, &QVXDeviceUnit::vx_recv);
  connect(worker, &QVXDeviceUnit::vx_recv_result, this, &QVXDevice::recv_vx_recv_result);
  connect(this, &QVXDevice::sig_vx_get_meter, worker, &QVXDeviceUnit::vx_get_meter);
  connect(this, &QVXDevice::sig_vx_get_meter_qnb, worker, &QVXDeviceUnit::vx_get_meter_qnb);
  connect(this, &QVXDevice::sig_vx_get_meter_zr, worker, &QVXDeviceUnit::vx_get_meter_zr);
  connect(this, &QVXDevice::sig_vx_get_meter_pln, worker, &QVXDeviceUnit::vx_get_meter_pln);
  connect(this, &QVXDevice::sig_vx_get_meter_drt, worker, &QVXDeviceUnit::vx_get_meter_drt);
  connect(worker, &QVXDeviceUnit::ret_get_meter, this, &QVXDevice::recv_get_meter);
  connect(worker, &QVXDeviceUnit::ret_get_meter_qnb, this, &QVXDevice::recv_get_meter_qnb);
  connect(worker, &QVXDeviceUnit::ret_get_meter_zr, this, &QVXDevice::recv_get_meter_zr);
  connect(worker, &QVXDeviceUnit::ret_get_meter_pln, this, &QVXDevice::recv_get_meter_pln);
  connect(worker, &QVXDeviceUnit::ret_get_meter_drt, this, &QVXDevice::recv_get_meter_drt);
}

QVXDevice::~QVXDevice() {
  if (!worker) return;
  // Asks the thread to quit and schedules the worker's deletion.
  emit worker->finished();
  // A worker that is inside a transfer gets a moment to finish it, so that a
  // process leaving main does not tear down what the thread still uses. A
  // worker that does not finish in time is left to the process exit.
  if (thread->wait(kWorkerFinishMs)) {
    delete worker.data();
    delete thread;
  }
}

// --- requests -------------------------------------------------------------

bool QVXDevice::deselect() {
  deselect_result = false;
  emit sig_deselect();
  return deselect_result;
}

bool QVXDevice::is_selected() {
  emit sig_is_selected();
  return is_selected_result;
}

void QVXDevice::clear_meters() {
  for (MeterCache& cache : meter_caches) {
    std::memset(cache.records, 0, sizeof cache.records);
    cache.count = 0;
    cache.ok = false;
    // A fetch that is with the worker stays accounted for: forgetting it
    // would let every later read queue one more fetch behind it, and a slow
    // unit would collect an ever longer queue of fetches in the worker.
    // So does a failure not yet reported: the window clears after every
    // read, and a fetch that failed in between must still be seen.
  }
}

void QVXDevice::req_info() {
  want_info = true;
  build_request();
}

void QVXDevice::req_hz() {
  want_hz = true;
  build_request();
}

void QVXDevice::req_autopowersave() {
  want_aps = true;
  build_request();
}

void QVXDevice::req_serialnumber() {
  want_serial = true;
  build_request();
}

void QVXDevice::req_recfunc() {
  want_recfunc = true;
  build_request();
}

void QVXDevice::req_stereo() {
  stereo_query_step = 1;
  build_request();
}

void QVXDevice::req_mute() {
  if (mute_query_step == 0) mute_query_step = 1;
  build_request();
}

void QVXDevice::req_fader() {
  want_fader = true;
  build_request();
}

void QVXDevice::req_assign() {
  want_assign = true;
  build_request();
}

void QVXDevice::set_autopowersave(bool on) {
  aps_pending = true;
  aps_value = on ? 1 : 0;
  build_request();
}

void QVXDevice::set_stereo(uint32_t type, uint8_t number, uint32_t mode) {
  int slot;
  if (type == 5 && number == 1) {
    slot = 0;
  } else if (type == 5 && number == 3) {
    slot = 1;
  } else if (type == 3) {
    slot = 2;
  } else if (type == 4) {
    slot = 3;
  } else {
    return;
  }
  StereoRequest& r = stereo_requests[slot];
  r.mode = mode;
  r.type = type;
  r.number = number;
  r.pending = true;
  build_request();
}

void QVXDevice::set_17(uint32_t value) {
  set17_pending = true;
  set17_value = value;
  build_request();
}

bool QVXDevice::set_mute(uint32_t type, uint8_t number, uint8_t value) {
  if (type != 4 || number < 1 || number > 4) return false;
  ChannelRequest& r = mute_requests[number - 1];
  if (r.type == type && r.number == number && r.value == value) return true;
  r.type = type;
  r.number = number;
  r.value = value;
  r.pending = true;
  build_request();
  return true;
}

bool QVXDevice::set_fader(uint32_t type, uint8_t number, uint8_t value) {
  int slot;
  if (type == 5 && number == 1) {
    slot = 0;
  } else if (type == 9 && number == 0) {
    slot = 1;
  } else if (type == 9 && number == 1) {
    slot = 2;
  } else {
    return false;
  }
  ChannelRequest& r = fader_requests[slot];
  if (r.type == type && r.number == number && r.value == value) return true;
  r.type = type;
  r.number = number;
  r.value = value;
  r.pending = true;
  build_request();
  return true;
}

bool QVXDevice::set_assign(uint32_t in_type, uint8_t in_number, uint32_t out_type, uint8_t out_number) {
  if (out_type != 1 || out_number < 1 || out_number > 4) return false;
  AssignRequest& r = assign_requests[out_number - 1];
  if (r.in_type == in_type && r.in_number == in_number && r.out_type == out_type &&
      r.out_number == out_number)
    return true;
  r.in_type = in_type;
  r.in_number = in_number;
  r.out_type = out_type;
  r.out_number = out_number;
  r.pending = true;
  build_request();
  return true;
}

void QVXDevice::build_request() {
  if (!ready) {
    request_reply();
    return;
  }
  if (send_state != Transfer::Idle) {
    send_state = Transfer::OutAndAgain;
    return;
  }

  uint8_t mem[VXMSG_MAX] = {};
  vxmsg_buf_t msg;
  vxmsg_init(&msg, mem, VXMSG_MAX);
  // A full message ends the appending; what did not fit stays pending for
  // the next message.
  if (append_queries(&msg)) append_settings(&msg);

  if (msg.pos == 0) return;
  vxmsg_put(&msg, VXMSG_CMD_END, VXMSG_TYPE_END, 0, 0);  // dropped when the message is full
  ready = false;
  send_state = Transfer::Out;
  emit sig_vx_send(QByteArray(reinterpret_cast<const char*>(mem), msg.pos));
}

void QVXDevice::request_reply() {
  if (recv_state != Transfer::Idle) {
    recv_state = Transfer::OutAndAgain;
  } else {
    recv_state = Transfer::Out;
    emit sig_vx_recv();
  }
}

// Each step appends its items and clears what it appended.
bool QVXDevice::append_queries(vxmsg_buf_t* msg) {
  if (want_info) {
    if (vxmsg_put(msg, VXMSG_CMD_GET_INFO, VXMSG_TYPE_NONE, 0, 0)) return false;
    want_info = false;
  }
  if (want_hz) {
    if (vxmsg_put(msg, VXMSG_CMD_HZ, VXMSG_TYPE_NONE, 0, 0)) return false;
    want_hz = false;
  }
  if (want_aps) {
    if (vxmsg_put(msg, VXMSG_CMD_GET_APS, VXMSG_TYPE_NONE, 0, 0)) return false;
    want_aps = false;
  }
  if (stereo_query_step >= 1 && stereo_query_step <= 4) {
    const auto& q = kStereoQuery[stereo_query_step - 1];
    if (vxctl_add_ch_item(msg, q.type, q.number, VXMSG_CMD_STEREO, 0)) return false;
    stereo_query_step = stereo_query_step >= 4 ? 0 : uint8_t(stereo_query_step + 1);
  }
  append_mute_query(msg);  // a full message ends only this step
  if (want_fader) {
    if (vxctl_add_ch_item(msg, VXMSG_DATA_CH_DIRECTMONITOR_OUT, 1, VXMSG_CMD_FADER, 0)) return false;
    want_fader = false;
  }
  if (want_assign) {
    if (vxctl_add_assign(msg, 0, 0, 0, 0)) return false;
    want_assign = false;
  }
  if (want_serial) {
    if (vxmsg_put(msg, VXMSG_CMD_GET_SERIAL, VXMSG_TYPE_NONE, 0, 0)) return false;
    want_serial = false;
  }
  if (want_recfunc) {
    if (vxmsg_put(msg, VXMSG_CMD_RECFUNC, VXMSG_TYPE_NONE, 0, 0)) return false;
    want_recfunc = false;
  }
  return true;
}

void QVXDevice::append_mute_query(vxmsg_buf_t* msg) {
  if (mute_query_step == 0) return;
  for (uint8_t m = mute_query_step; m <= 4; ++m) {
    if (vxctl_add_ch_item(msg, VXMSG_DATA_CH_ANALOG_IN, m, VXMSG_CMD_MUTE, 0)) {
      mute_query_step = m;
      return;
    }
  }
  mute_query_step = 0;
}

bool QVXDevice::append_settings(vxmsg_buf_t* msg) {
  if (aps_pending) {
    if (vxmsg_put(msg, VXMSG_CMD_APS, VXMSG_TYPE_U8, aps_value, 0)) return false;
    aps_pending = false;
  }
  // The stereo settings: a full message ends only this step.
  for (StereoRequest& r : stereo_requests) {
    if (!r.pending) continue;
    if (vxctl_add_ch_item(msg, r.type, r.number, VXMSG_CMD_SET_STEREO, uint8_t(r.mode))) break;
    r.pending = false;
  }
  if (set17_pending) {
    if (vxmsg_put(msg, VXMSG_CMD_SET_17, VXMSG_TYPE_U32, set17_value, 0)) return false;
    set17_pending = false;
  }
  for (ChannelRequest& r : mute_requests) {
    if (!r.pending) continue;
    if (vxctl_add_ch_item(msg, r.type, r.number, VXMSG_CMD_SET_MUTE, r.value)) return false;
    r.pending = false;
  }
  for (ChannelRequest& r : fader_requests) {
    if (!r.pending) continue;
    if (vxctl_add_ch_item(msg, r.type, r.number, VXMSG_CMD_SET_FADER, r.value)) return false;
    r.pending = false;
  }
  for (AssignRequest& r : assign_requests) {
    if (!r.pending) continue;
    if (vxctl_add_assign(msg, r.in_type, r.in_number, r.out_type, r.out_number)) return false;
    r.pending = false;
  }
  return true;
}

// --- answers --------------------------------------------------------------

void QVXDevice::recv_deselect(bool ret) {
  deselect_result = ret;
}

void QVXDevice::recv_is_selected(bool ret) {
  is_selected_result = ret;
}

void QVXDevice::clear_identity() {
  version = 0;
  emit sig_recv_version(0);
  build = 0;
  emit sig_recv_build(0);
  emit sig_recv_productname(QString());
  emit sig_recv_builddate(QString());
  emit sig_recv_buildtime(QString());
}

void QVXDevice::recv_vx_send_result(bool result) {
  if (!result) clear_identity();
  const Transfer previous = send_state;
  send_state = Transfer::Idle;
  if (previous == Transfer::OutAndAgain) build_request();
}

void QVXDevice::recv_vx_recv_result(bool result, QByteArray vxmsg_data) {
  if (recv_state == Transfer::OutAndAgain) {
    recv_state = Transfer::Out;
    emit sig_vx_recv();
  } else {
    recv_state = Transfer::Idle;
  }
  if (!result) {
    clear_identity();
    return;
  }
  decode_reply(reinterpret_cast<const uint8_t*>(vxmsg_data.constData()), vxmsg_data.size());
}

void QVXDevice::decode_reply(const uint8_t* bytes, int size) {
  ReplyChannel channel;
  for (int offset = 0; offset < size; offset += VXMSG_MAX) {
    // The codec reads only through its cursor, so the piece is copied into a
    // buffer of its own: nothing of the reply array is modified.
    uint8_t mem[VXMSG_MAX];
    const int n = qMin(size - offset, int(VXMSG_MAX));
    std::memcpy(mem, bytes + offset, size_t(n));
    vxmsg_buf_t msg;
    vxmsg_init(&msg, mem, uint8_t(n));

    uint32_t cmd = 0;
    uint32_t type = 0;
    uint64_t raw = 0;
    uint8_t len = 0;
    while (vxmsg_get(&msg, &cmd, &type, &raw, &len) == 0) {
      const bool is_bytes = type == VXMSG_TYPE_BYTES;
      // The numeric value of the item; a bytes item carries no number (its
      // value is an address inside the message) and counts as 0.
      const uint32_t value = is_bytes ? 0u : uint32_t(raw);
      const char* data = is_bytes ? reinterpret_cast<const char*>(uintptr_t(raw)) : nullptr;
      if (cmd == VXMSG_CMD_READY) {
        decode_ready(value);
      } else if (!decode_unit_item(cmd, type, value, data, len)) {
        decode_channel_item(channel, cmd, value);
      }
    }
  }
}

void QVXDevice::decode_ready(uint32_t value) {
  if (value == 0) {
    ready = false;
  } else if (!ready) {
    ready = true;
    build_request();
  }
}

bool QVXDevice::decode_unit_item(uint32_t cmd, uint32_t type, uint32_t value, const char* data, uint8_t len) {
  // A text ends at its first zero byte: a unit with fixed-size text fields
  // pads them with zeros, which are no part of the name, serial or date.
  // (The rec-function states are bytes, not text: a zero there is a state.)
  const QString text = data ? QString::fromUtf8(data, int(qstrnlen(data, len))) : QString();
  switch (cmd) {
    case VXMSG_CMD_DEBUG:
      emit sig_recv_debug(text);
      return true;
    case VXMSG_CMD_GET_APS:
    case VXMSG_CMD_APS:
      if (type == VXMSG_TYPE_U8) emit sig_recv_autopowersave(value != 0);
      return true;
    case VXMSG_CMD_HZ:
      emit sig_recv_hz(value);
      return true;
    case VXMSG_CMD_VERSION:
      version = uint16_t(value);
      emit sig_recv_version(version);
      return true;
    case VXMSG_CMD_BUILD:
      build = uint16_t(value);
      emit sig_recv_build(build);
      return true;
    case VXMSG_CMD_PRODUCTNAME:
      emit sig_recv_productname(text);
      return true;
    case VXMSG_CMD_BUILDDATE:
      builddate = text;
      emit sig_recv_builddate(builddate);
      return true;
    case VXMSG_CMD_BUILDTIME:
      buildtime = text;
      emit sig_recv_buildtime(buildtime);
      return true;
    case VXMSG_CMD_PRODUCTSIG:
      emit sig_recv_productsig(text);
      return true;
    case VXMSG_CMD_SERIAL:
      emit sig_recv_serialnumber(text);
      return true;
    case VXMSG_CMD_RECFUNC:
      emit sig_recv_recfunc(data ? QByteArray(data, len) : QByteArray());
      return true;
    default:
      return false;
  }
}

void QVXDevice::decode_channel_item(ReplyChannel& c, uint32_t cmd, uint32_t value) {
  switch (cmd) {
    case VXMSG_CMD_CH_TYPE:
      c.type = value;
      break;
    case VXMSG_CMD_CH_NO:
      c.number = uint8_t(value);
      break;
    case VXMSG_CMD_ASSIGN_IN:
      c.src_type = c.type;
      c.src_number = c.number;
      break;
    case VXMSG_CMD_ASSIGN_OUT:
      c.dst_type = c.type;
      c.dst_number = c.number;
      break;
    case VXMSG_CMD_ASSIGN:
      emit sig_recv_assign_ch(vxmsg_data_ch_t(c.src_type), c.src_number, vxmsg_data_ch_t(c.dst_type),
                              uchar(c.dst_number));
      break;
    case VXMSG_CMD_METER:
      emit sig_recv_meter(vxmsg_data_ch_t(c.type), c.number, value);
      break;
    case VXMSG_CMD_FADER:
      emit sig_recv_fader(vxmsg_data_ch_t(c.type), c.number, uint8_t(value & 0xFF));
      break;
    case VXMSG_CMD_MUTE:
      emit sig_recv_mute(vxmsg_data_ch_t(c.type), c.number, value != 0);
      break;
    case VXMSG_CMD_STEREO:
      emit sig_recv_stereo(vxmsg_data_ch_t(c.type), c.number, vxmsg_data_ch_type_t(value));
      break;
    default:
      break;
  }
}

// --- meters ---------------------------------------------------------------

void QVXDevice::request_meter(VXMeterLayout layout) {
  switch (layout) {
    case VXMETER_COMMON:
      emit sig_vx_get_meter();
      break;
    case VXMETER_QNB:
      emit sig_vx_get_meter_qnb();
      break;
    case VXMETER_ZR:
      emit sig_vx_get_meter_zr();
      break;
    case VXMETER_PLN:
      emit sig_vx_get_meter_pln();
      break;
    case VXMETER_DRT:
      emit sig_vx_get_meter_drt();
      break;
    default:
      break;
  }
}

bool QVXDevice::read_meter(VXMeterLayout layout, vxctl_meter_t* records, int count, int* num) {
  MeterCache& cache = meter_caches[layout];
  const int cache_bytes = int(sizeof(vxctl_meter_t)) * kVXMeterRecords[layout];
  if (records && count > 0) {
    std::memcpy(records, cache.records, size_t(qMin(count * int(sizeof(vxctl_meter_t)), cache_bytes)));
  }
  if (cache.fetch == Transfer::Idle) {
    cache.fetch = Transfer::Out;
    request_meter(layout);
  } else {
    cache.fetch = Transfer::OutAndAgain;
  }
  if (num) *num = int(cache.count);
  return cache.ok;
}

void QVXDevice::store_meter(VXMeterLayout layout, bool ret, const QByteArray& meter, int num) {
  // A failed fetch means the unit went away (or another unit took its place)
  // just like a failed send or receive: the identity is no longer known.
  // Keeping it would have the window go on fetching the old model's layout
  // from a new unit, whose surplus records would then crowd out every other
  // answer in the unit's reply queue.
  if (!ret) clear_identity();
  MeterCache& cache = meter_caches[layout];
  cache.ok = ret;
  cache.failed = !ret;
  cache.count = uint32_t(qMax(num, 0));
  const int cache_bytes = int(sizeof(vxctl_meter_t)) * kVXMeterRecords[layout];
  std::memcpy(cache.records, meter.constData(), size_t(qMin(meter.size(), cache_bytes)));
  if (cache.fetch == Transfer::OutAndAgain) {
    cache.fetch = Transfer::Out;
    request_meter(layout);
  } else {
    cache.fetch = Transfer::Idle;
  }
}

bool QVXDevice::meter_fetch_failed(VXMeterLayout layout) {
  if (layout < 0 || layout >= VXMETER_LAYOUTS) return false;
  MeterCache& cache = meter_caches[layout];
  const bool failed = cache.failed;
  cache.failed = false;
  return failed;
}

bool QVXDevice::get_meter(vxctl_meter_t* records, int count, int* num) {
  return read_meter(VXMETER_COMMON, records, count, num);
}
bool QVXDevice::get_meter_qnb(vxctl_meter_t* records, int count, int* num) {
  return read_meter(VXMETER_QNB, records, count, num);
}
bool QVXDevice::get_meter_zr(vxctl_meter_t* records, int count, int* num) {
  return read_meter(VXMETER_ZR, records, count, num);
}
bool QVXDevice::get_meter_pln(vxctl_meter_t* records, int count, int* num) {
  return read_meter(VXMETER_PLN, records, count, num);
}
bool QVXDevice::get_meter_drt(vxctl_meter_t* records, int count, int* num) {
  return read_meter(VXMETER_DRT, records, count, num);
}

void QVXDevice::recv_get_meter(bool ret, QByteArray meter, int num) {
  store_meter(VXMETER_COMMON, ret, meter, num);
}
void QVXDevice::recv_get_meter_qnb(bool ret, QByteArray meter, int num) {
  store_meter(VXMETER_QNB, ret, meter, num);
}
void QVXDevice::recv_get_meter_zr(bool ret, QByteArray meter, int num) {
  store_meter(VXMETER_ZR, ret, meter, num);
}
void QVXDevice::recv_get_meter_pln(bool ret, QByteArray meter, int num) {
  store_meter(VXMETER_PLN, ret, meter, num);
}
void QVXDevice::recv_get_meter_drt(bool ret, QByteArray meter, int num) {
  store_meter(VXMETER_DRT, ret, meter, num);
}
