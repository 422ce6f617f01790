// QVXDeviceUnit: the device worker. Lives in a thread of its own, performs
// every transfer to the unit through the device library, sleeps a fixed
// interval after each one and reports each result as a signal carrying raw
// bytes, booleans and integers.
#ifndef PANEL_DEVICE_QVXDEVICEUNIT_H
#define PANEL_DEVICE_QVXDEVICEUNIT_H

#include <QByteArray>
#include <QObject>
#include <cstdint>

#include "vxctl.h"

// The five meter layouts the unit family uses; the proxy keeps one cache each.
// The suffixes here and in the per-layout signals and slots (_qnb, _zr,
// _pln, _drt) are the maker's short names of the models; Far Link's "zr"
// included, they stay.
enum VXMeterLayout {
  VXMETER_COMMON = 0,  // Tarrow
  VXMETER_QNB = 1,     // Quenby
  VXMETER_ZR = 2,      // Far Link
  VXMETER_PLN = 3,     // Pellin
  VXMETER_DRT = 4,     // Dorrit
  VXMETER_LAYOUTS = 5
};

// Records per layout, indexed by VXMeterLayout.
constexpr int kVXMeterRecords[VXMETER_LAYOUTS] = {VXCTL_METER_RECORDS_TARROW, VXCTL_METER_RECORDS_QUENBY,
                                                  VXCTL_METER_RECORDS_FAR_LINK, VXCTL_METER_RECORDS_PELLIN,
                                                  VXCTL_METER_RECORDS_DORRIT};
constexpr int kVXMeterRecordsMax = VXCTL_METER_RECORDS_MAX;

// Replies read for one exchange at most: the longest answer (identity texts)
// spans a few; the bound keeps a unit that never runs dry from holding the
// exchange lock for long.
constexpr int kExchangeReplies = 16;

class QVXDeviceUnit : public QObject {
  Q_OBJECT

 public:
  explicit QVXDeviceUnit(QObject* parent = nullptr);

 signals:
  void vx_send_result(bool result);
  void vx_recv_result(bool result, QByteArray vxmsg_data);
  void ret_deselect(bool ret);
  void ret_is_selected(bool ret);
  void ret_select_default(bool ret);
  void ret_get_meter(bool ret, QByteArray meter, int num);
  void ret_get_meter_qnb(bool ret, QByteArray meter, int num);
  void ret_get_meter_zr(bool ret, QByteArray meter, int num);
  void ret_get_meter_pln(bool ret, QByteArray meter, int num);
  void ret_get_meter_drt(bool ret, QByteArray meter, int num);
  void finished();

 public slots:
  void deselect();
  void is_selected();
  void select_default();
  void vx_send(QByteArray vxmsg_data);
  void vx_recv();
  void vx_get_meter();
  void vx_get_meter_qnb();
  void vx_get_meter_zr();
  void vx_get_meter_pln();
  void vx_get_meter_drt();

 private:
  // select_default, then whether a unit was found.
  bool selectAgain();
  // Under the held `exchange`, receives replies until one carries nothing
  // but the ready marker (the unit's answer queue is read empty), a receive
  // fails, or `most` were read; `replies` gets them one after the other, 64
  // bytes each (64 zero bytes when none). False when no reply was received.
  bool receiveAnswers(HANDLE exchange, int most, QByteArray* replies);
  // One meter fetch of `layout`; returns ok and fills `bytes` and `num`.
  bool fetchMeter(VXMeterLayout layout, QByteArray* bytes, int* num);

  vxdev_t device;
  usbdevs_handle handle = nullptr;
  uint32_t interval = 10;
};

#endif
