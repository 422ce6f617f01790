// QVXDevice: the device proxy on the GUI thread. It owns the worker and its
// thread, gathers the main window's requests as pending flags and slots, sends
// them in one command message whenever the unit has said it is ready, decodes
// the unit's replies into typed signals, and keeps the latest meter array of
// each layout so that meter reads never wait.
#ifndef PANEL_DEVICE_QVXDEVICE_H
#define PANEL_DEVICE_QVXDEVICE_H

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>

#include "qvxdeviceunit.h"
#include "vxmsg.h"

class QThread;

Q_DECLARE_METATYPE(vxmsg_data_ch_t)
Q_DECLARE_METATYPE(vxmsg_data_ch_type_t)

class QVXDevice : public QObject {
  Q_OBJECT

 public:
  explicit QVXDevice(QObject* parent = nullptr);
  ~QVXDevice() override;

  // Forgets the selected unit. Returns the stored deselect result, which has
  // just been cleared: the worker's answer arrives later.
  bool deselect();
  // Asks the worker again and returns the answer of the previous question.
  bool is_selected();
  // Zeroes every cache (records, count, ok); fetches already with the worker
  // keep their place.
  void clear_meters();

  void req_info();
  void req_hz();
  void req_autopowersave();
  void req_serialnumber();
  void req_recfunc();
  void req_stereo();
  void req_mute();
  void req_fader();
  void req_assign();

  // Meter reads: copy the cached records of the previous fetch (meaningful
  // only when the result is true) and start or queue the next fetch.
  bool get_meter(vxctl_meter_t* records, int count, int* num = nullptr);
  bool get_meter_qnb(vxctl_meter_t* records, int count, int* num = nullptr);
  bool get_meter_zr(vxctl_meter_t* records, int count, int* num = nullptr);
  bool get_meter_pln(vxctl_meter_t* records, int count, int* num = nullptr);
  bool get_meter_drt(vxctl_meter_t* records, int count, int* num = nullptr);
  // Whether a fetch of the layout has failed since the previous call (the
  // report is consumed). A read that returns false while no fetch failed
  // only means that the answer is still under way.
  bool meter_fetch_failed(VXMeterLayout layout);

  void set_autopowersave(bool on);
  void set_stereo(uint32_t type, uint8_t number, uint32_t mode);
  void set_17(uint32_t value);
  bool set_mute(uint32_t type, uint8_t number, uint8_t value);
  bool set_fader(uint32_t type, uint8_t number, uint8_t value);
  bool set_assign(uint32_t in_type, uint8_t in_number, uint32_t out_type, uint8_t out_number);

 signals:
  void sig_deselect();
  void sig_is_selected();
  void sig_vx_send(QByteArray vxmsg_data);
  void sig_vx_recv();
  void sig_vx_get_meter();
  void sig_vx_get_meter_qnb();
  void sig_vx_get_meter_zr();
  void sig_vx_get_meter_pln();
  void sig_vx_get_meter_drt();
  void sig_recv_debug(QString debug_log);
  void sig_recv_hz(uint32_t hz);
  void sig_recv_autopowersave(bool mode);
  void sig_recv_serialnumber(QString serialnum);
  void sig_recv_stereo(vxmsg_data_ch_t ch_type, uint8_t ch_no, vxmsg_data_ch_type_t mode);
  void sig_recv_mute(vxmsg_data_ch_t ch_type, uint8_t ch_no, bool on);
  void sig_recv_fader(vxmsg_data_ch_t ch_type, uint8_t ch_no, uint8_t value);
  void sig_recv_assign_ch(vxmsg_data_ch_t in_type, uint8_t in_ch, vxmsg_data_ch_t out_type, uchar out_ch);
  void sig_recv_version(uint16_t version);
  void sig_recv_build(uint16_t build);
  void sig_recv_productname(QString productname);
  void sig_recv_productsig(QString productname);
  void sig_recv_builddate(QString builddate);
  void sig_recv_buildtime(QString buildtime);
  void sig_recv_recfunc(QByteArray rec_func);
  void sig_recv_meter(vxmsg_data_ch_t ch_type, uint8_t ch_no, uint32_t value);

 public slots:
  void recv_deselect(bool ret);
  void recv_is_selected(bool ret);
  void recv_vx_send_result(bool result);
  void recv_vx_recv_result(bool result, QByteArray vxmsg_data);
  void recv_get_meter(bool ret, QByteArray meter, int num);
  void recv_get_meter_qnb(bool ret, QByteArray meter, int num);
  void recv_get_meter_zr(bool ret, QByteArray meter, int num);
  void recv_get_meter_pln(bool ret, QByteArray meter, int num);
  void recv_get_meter_drt(bool ret, QByteArray meter, int num);

 private:
  struct StereoRequest {
    bool pending;
    uint32_t mode;
    uint32_t type;
    uint8_t number;
  };
  struct ChannelRequest {
    uint32_t type;
    uint8_t number;
    uint8_t value;
    bool pending;
  };
  struct AssignRequest {
    uint32_t out_type;
    uint8_t out_number;
    uint32_t in_type;
    uint8_t in_number;
    bool pending;
  };
  // Where one kind of exchange with the worker (a message, a reply, a
  // layout's meter fetch) stands.
  enum class Transfer : uint8_t {
    Idle,         // none is out
    Out,          // one is out
    OutAndAgain,  // one is out, and another is wanted when it returns
  };
  struct MeterCache {
    vxctl_meter_t records[kVXMeterRecordsMax];
    uint32_t count;
    bool ok;
    Transfer fetch;
    bool failed;  // a fetch failed and nobody has been told yet
  };
  // The channel a reply's items are about (0x61, 0x62), and the ends of an
  // assignment (0x41, 0x42) it reports.
  struct ReplyChannel {
    uint32_t type = 0;
    uint8_t number = 0;
    uint32_t src_type = 0;
    uint8_t src_number = 0;
    uint32_t dst_type = 0;
    uint8_t dst_number = 0;
  };

  // Puts whatever is pending into one command message and sends it, or asks
  // for a reply while the unit has not said it is ready.
  void build_request();
  // Asks the worker for a reply (or for one more after the one out).
  void request_reply();
  // The pending queries, then the pending settings, in their order; false
  // when the message is full (what did not fit stays pending).
  bool append_queries(vxmsg_buf_t* msg);
  void append_mute_query(vxmsg_buf_t* msg);
  bool append_settings(vxmsg_buf_t* msg);
  void clear_identity();
  // Every item of a reply (several 64-byte messages, read in turn).
  void decode_reply(const uint8_t* bytes, int size);
  // The ready marker: a unit that is ready again gets what is pending.
  void decode_ready(uint32_t value);
  // Items about the unit (identity, rate, power save, rec-function states,
  // debug text); false for any other item. `data` is the bytes of a bytes
  // item, null for a number.
  bool decode_unit_item(uint32_t cmd, uint32_t type, uint32_t value, const char* data, uint8_t len);
  // Items about a channel (meter, fader, mute, stereo, assignment), read
  // with the channel the reply named last.
  void decode_channel_item(ReplyChannel& channel, uint32_t cmd, uint32_t value);
  bool read_meter(VXMeterLayout layout, vxctl_meter_t* records, int count, int* num);
  void store_meter(VXMeterLayout layout, bool ret, const QByteArray& meter, int num);
  void request_meter(VXMeterLayout layout);

  Transfer send_state = Transfer::Idle;  // OutAndAgain: the builder runs again when the message is out
  Transfer recv_state = Transfer::Idle;
  bool ready = false;
  bool want_info = false;
  bool want_hz = false;
  bool want_aps = false;
  uint8_t stereo_query_step = 0;
  uint8_t mute_query_step = 0;
  bool want_fader = false;
  bool want_assign = false;
  bool want_serial = false;
  bool want_recfunc = false;
  uint16_t version = 0;
  uint16_t build = 0;
  QString builddate;
  QString buildtime;
  QPointer<QVXDeviceUnit> worker;
  QThread* thread = nullptr;
  bool deselect_result = false;
  bool is_selected_result = false;
  bool aps_pending = false;
  uint8_t aps_value = 0;
  StereoRequest stereo_requests[4] = {};
  bool set17_pending = false;
  uint32_t set17_value = 0;
  ChannelRequest mute_requests[4] = {};
  ChannelRequest fader_requests[3] = {};
  AssignRequest assign_requests[4] = {};
  MeterCache meter_caches[VXMETER_LAYOUTS] = {};
};

#endif
