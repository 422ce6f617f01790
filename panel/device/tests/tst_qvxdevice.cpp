// The device proxy: request gathering and the ready handshake, reply
// decoding, meter caches, and the worker thread (which finds no unit here).
// Most cases cut the proxy off its worker and play the worker's part by
// calling the proxy's slots, so every message the proxy sends is seen.
#include <QFileInfo>
#include <QSignalSpy>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "devhostprocess.h"
#include "qvxdevice.h"
#include "vxfacade.h"
#include "vxmsg.h"

namespace {

struct Item {
  uint32_t cmd;
  uint32_t type;
  uint64_t value;
  QByteArray bytes;
};

// The items of one message, up to its end item.
std::vector<Item> itemsOf(const QByteArray& message) {
  std::vector<Item> items;
  QByteArray copy = message;
  vxmsg_buf_t m;
  vxmsg_init(&m, reinterpret_cast<uint8_t*>(copy.data()), uint8_t(copy.size()));
  uint32_t cmd, type;
  uint64_t value;
  uint8_t size;
  while (vxmsg_get(&m, &cmd, &type, &value, &size) == 0) {
    Item item{cmd, type, type == VXMSG_TYPE_BYTES ? 0 : value, {}};
    if (type == VXMSG_TYPE_BYTES)
      item.bytes = QByteArray(reinterpret_cast<const char*>(uintptr_t(value)), size);
    items.push_back(item);
  }
  return items;
}

std::vector<uint32_t> commandsOf(const QByteArray& message) {
  std::vector<uint32_t> cmds;
  for (const Item& i : itemsOf(message)) cmds.push_back(i.cmd);
  return cmds;
}

// Builds a 64-byte reply as the unit sends it (zero-filled after the items).
class Reply {
 public:
  Reply() { vxmsg_init(&m, mem, VXMSG_MAX); }
  Reply& u8(uint8_t cmd, uint8_t v) { return put(cmd, VXMSG_TYPE_U8, v); }
  Reply& u16(uint8_t cmd, uint16_t v) { return put(cmd, VXMSG_TYPE_U16, v); }
  Reply& u32(uint8_t cmd, uint32_t v) { return put(cmd, VXMSG_TYPE_U32, v); }
  Reply& none(uint8_t cmd) { return put(cmd, VXMSG_TYPE_NONE, 0); }
  Reply& text(uint8_t cmd, const QByteArray& t) {
    const bool ok = vxmsg_put(&m, cmd, VXMSG_TYPE_BYTES, uintptr_t(t.constData()), uint8_t(t.size())) == 0;
    Q_ASSERT(ok);
    Q_UNUSED(ok);
    return *this;
  }
  Reply& ready(bool r) { return u8(VXMSG_CMD_READY, r ? 1 : 0); }
  QByteArray bytes() const { return QByteArray(reinterpret_cast<const char*>(mem), VXMSG_MAX); }

 private:
  Reply& put(uint8_t cmd, uint8_t type, uint32_t v) {
    const bool ok = vxmsg_put(&m, cmd, type, v, 0) == 0;
    Q_ASSERT(ok);
    Q_UNUSED(ok);
    return *this;
  }
  uint8_t mem[VXMSG_MAX] = {};
  vxmsg_buf_t m;
};

// Cuts the proxy off its worker: requests go nowhere but to the test's spies.
void isolate(QVXDevice& dev) {
  QObject::disconnect(&dev, &QVXDevice::sig_deselect, nullptr, nullptr);
  QObject::disconnect(&dev, &QVXDevice::sig_is_selected, nullptr, nullptr);
  QObject::disconnect(&dev, &QVXDevice::sig_vx_send, nullptr, nullptr);
  QObject::disconnect(&dev, &QVXDevice::sig_vx_recv, nullptr, nullptr);
  QObject::disconnect(&dev, &QVXDevice::sig_vx_get_meter, nullptr, nullptr);
  QObject::disconnect(&dev, &QVXDevice::sig_vx_get_meter_qnb, nullptr, nullptr);
  QObject::disconnect(&dev, &QVXDevice::sig_vx_get_meter_zr, nullptr, nullptr);
  QObject::disconnect(&dev, &QVXDevice::sig_vx_get_meter_pln, nullptr, nullptr);
  QObject::disconnect(&dev, &QVXDevice::sig_vx_get_meter_drt, nullptr, nullptr);
  // Answers the worker may still deliver from its first search are dropped.
  QCoreApplication::processEvents();
}

// The unit says ready; returns the message the proxy sends then, if any.
QByteArray sayReady(QVXDevice& dev, QSignalSpy& sends) {
  const int before = sends.count();
  dev.recv_vx_recv_result(true, Reply().ready(true).bytes());
  return sends.count() > before ? sends.last().at(0).toByteArray() : QByteArray();
}

// The worker reports a message delivered and the unit answers ready.
QByteArray deliverAndReady(QVXDevice& dev, QSignalSpy& sends) {
  dev.recv_vx_send_result(true);
  return sayReady(dev, sends);
}

}  // namespace

class TestQVXDevice : public QObject {
  Q_OBJECT

 private slots:
  void requestsWhileBusyGoOutTogether() {
    QVXDevice dev;
    isolate(dev);
    QSignalSpy sends(&dev, &QVXDevice::sig_vx_send);
    QSignalSpy recvs(&dev, &QVXDevice::sig_vx_recv);

    // Not ready yet: a request asks for a reply instead of sending.
    dev.req_info();
    QCOMPARE(recvs.count(), 1);
    QCOMPARE(sends.count(), 0);
    dev.req_info();  // a second receive is only queued behind the first
    QCOMPARE(recvs.count(), 1);

    QByteArray first = sayReady(dev, sends);
    QCOMPARE(commandsOf(first), (std::vector<uint32_t>{VXMSG_CMD_GET_INFO}));
    QCOMPARE(recvs.count(), 2);  // the queued receive went out when the first returned

    // Ten requests while that message is with the worker.
    dev.req_hz();
    dev.req_autopowersave();
    dev.req_mute();
    dev.req_fader();
    dev.req_assign();
    dev.req_serialnumber();
    dev.req_recfunc();
    dev.set_autopowersave(true);
    dev.set_17(0x01020304);
    QVERIFY(dev.set_fader(9, 1, 77));
    QCOMPARE(sends.count(), 1);

    // The send result alone does not send: the unit has not said ready.
    dev.recv_vx_send_result(true);
    QCOMPARE(sends.count(), 1);
    const QByteArray second = sayReady(dev, sends);
    QVERIFY(second.size() <= VXMSG_MAX);
    // Rate, power-save query, four mute queries and the fader query fit; the
    // assignment group does not, so appending stops there.
    const std::vector<uint32_t> expected2 = {
        VXMSG_CMD_HZ, VXMSG_CMD_GET_APS, 0x61, 0x62, VXMSG_CMD_MUTE, 0x61, 0x62, VXMSG_CMD_MUTE, 0x61,
        0x62,         VXMSG_CMD_MUTE,    0x61, 0x62, VXMSG_CMD_MUTE, 0x61, 0x62, VXMSG_CMD_FADER};
    QCOMPARE(commandsOf(second), expected2);
    const std::vector<Item> mutes = itemsOf(second);
    QCOMPARE(mutes[3].value, 1u);
    QCOMPARE(mutes[12].value, 4u);

    // Everything else follows in the next message, in builder order.
    const QByteArray third = deliverAndReady(dev, sends);
    const std::vector<uint32_t> expected3 = {0x61,
                                             0x62,
                                             0x41,
                                             0x61,
                                             0x62,
                                             0x42,
                                             0x43,
                                             VXMSG_CMD_GET_SERIAL,
                                             VXMSG_CMD_RECFUNC,
                                             VXMSG_CMD_APS,
                                             VXMSG_CMD_SET_17,
                                             0x61,
                                             0x62,
                                             VXMSG_CMD_SET_FADER};
    QCOMPARE(commandsOf(third), expected3);
    const std::vector<Item> items = itemsOf(third);
    QCOMPARE(items[9].value, 1u);            // power save on
    QCOMPARE(items[10].value, 0x01020304u);  // setting 0x17
    QCOMPARE(items[11].value, 9u);
    QCOMPARE(items[12].value, 1u);
    QCOMPARE(items[13].value, 77u);

    // Nothing is left.
    QVERIFY(deliverAndReady(dev, sends).isEmpty());
  }

  void stereoQueryTakesFourMessages() {
    QVXDevice dev;
    isolate(dev);
    QSignalSpy sends(&dev, &QVXDevice::sig_vx_send);
    QVERIFY(sayReady(dev, sends).isEmpty());

    dev.req_stereo();
    QCOMPARE(sends.count(), 1);
    std::vector<QByteArray> messages{sends.last().at(0).toByteArray()};
    for (;;) {
      const QByteArray next = deliverAndReady(dev, sends);
      if (next.isEmpty()) break;
      messages.push_back(next);
      QVERIFY(messages.size() <= 5);
    }
    QCOMPARE(int(messages.size()), 4);
    const uint64_t table[4][2] = {{5, 1}, {5, 3}, {3, 1}, {4, 1}};
    for (int i = 0; i < 4; ++i) {
      const std::vector<Item> items = itemsOf(messages[size_t(i)]);
      QCOMPARE(int(items.size()), 3);
      QCOMPARE(items[0].value, table[i][0]);
      QCOMPARE(items[1].value, table[i][1]);
      QCOMPARE(items[2].cmd, uint32_t(VXMSG_CMD_STEREO));
    }
  }

  void sameValueSettingsSendNothing() {
    QVXDevice dev;
    isolate(dev);
    QSignalSpy sends(&dev, &QVXDevice::sig_vx_send);
    sayReady(dev, sends);

    QVERIFY(dev.set_fader(9, 1, 40));
    QCOMPARE(sends.count(), 1);
    deliverAndReady(dev, sends);
    QVERIFY(dev.set_fader(9, 1, 40));  // the same value: accepted, nothing sent
    QCOMPARE(sends.count(), 1);
    QVERIFY(dev.set_fader(9, 1, 41));
    QCOMPARE(sends.count(), 2);
    QCOMPARE(itemsOf(sends.last().at(0).toByteArray()).back().value, 41u);

    QVERIFY(!dev.set_fader(5, 2, 1));  // no slot for this channel
    QVERIFY(!dev.set_mute(4, 5, 1));
    QVERIFY(!dev.set_mute(3, 1, 1));
    QVERIFY(!dev.set_assign(5, 1, 2, 1));
    QVERIFY(!dev.set_assign(5, 1, 1, 0));
    deliverAndReady(dev, sends);
    QVERIFY(dev.set_assign(5, 1, 1, 1));
    deliverAndReady(dev, sends);
    const int count = sends.count();
    QVERIFY(dev.set_assign(5, 1, 1, 1));
    QVERIFY(dev.set_mute(4, 2, 0));  // an empty slot differs from any value
    QCOMPARE(sends.count(), count + 1);
  }

  void readyMarkersInOneReplyRunTheBuilderOnce() {
    QVXDevice dev;
    isolate(dev);
    QSignalSpy sends(&dev, &QVXDevice::sig_vx_send);
    QSignalSpy recvs(&dev, &QVXDevice::sig_vx_recv);
    dev.req_hz();
    QCOMPARE(recvs.count(), 1);
    dev.recv_vx_recv_result(true, Reply().ready(false).ready(true).bytes());
    QCOMPARE(sends.count(), 1);
    QCOMPARE(commandsOf(sends.last().at(0).toByteArray()), (std::vector<uint32_t>{VXMSG_CMD_HZ}));

    // Busy only: nothing is sent, the next request asks for a reply again.
    dev.recv_vx_send_result(true);
    dev.recv_vx_recv_result(true, Reply().ready(false).bytes());
    dev.req_hz();
    QCOMPARE(sends.count(), 1);
    QCOMPARE(recvs.count(), 2);
  }

  void repliesDecodeIntoSignals() {
    QVXDevice dev;
    isolate(dev);
    QSignalSpy version(&dev, &QVXDevice::sig_recv_version);
    QSignalSpy build(&dev, &QVXDevice::sig_recv_build);
    QSignalSpy name(&dev, &QVXDevice::sig_recv_productname);
    QSignalSpy date(&dev, &QVXDevice::sig_recv_builddate);
    QSignalSpy hz(&dev, &QVXDevice::sig_recv_hz);
    QSignalSpy serial(&dev, &QVXDevice::sig_recv_serialnumber);
    QSignalSpy recfunc(&dev, &QVXDevice::sig_recv_recfunc);
    QSignalSpy meter(&dev, &QVXDevice::sig_recv_meter);
    QSignalSpy assign(&dev, &QVXDevice::sig_recv_assign_ch);
    QSignalSpy mute(&dev, &QVXDevice::sig_recv_mute);
    QSignalSpy aps(&dev, &QVXDevice::sig_recv_autopowersave);
    QSignalSpy debug(&dev, &QVXDevice::sig_recv_debug);

    dev.recv_vx_recv_result(true, Reply()
                                      .u16(VXMSG_CMD_VERSION, 105)
                                      .u16(VXMSG_CMD_BUILD, 42)
                                      .text(VXMSG_CMD_PRODUCTNAME, "Far Link")
                                      .text(VXMSG_CMD_BUILDDATE, QString::fromUtf8("2024年").toUtf8())
                                      .u32(VXMSG_CMD_HZ, 48000)
                                      .text(VXMSG_CMD_SERIAL, "TR123456")
                                      .text(VXMSG_CMD_RECFUNC, QByteArray("\x01\x02\x00", 3))
                                      .bytes());
    QCOMPARE(version.count(), 1);
    QCOMPARE(version.at(0).at(0).value<uint16_t>(), uint16_t(105));
    QCOMPARE(build.at(0).at(0).value<uint16_t>(), uint16_t(42));
    QCOMPARE(name.at(0).at(0).toString(), QString("Far Link"));
    QCOMPARE(date.at(0).at(0).toString(), QString::fromUtf8("2024年"));
    QCOMPARE(hz.at(0).at(0).value<uint32_t>(), 48000u);
    QCOMPARE(serial.at(0).at(0).toString(), QString("TR123456"));
    QCOMPARE(recfunc.at(0).at(0).toByteArray(), QByteArray("\x01\x02\x00", 3));

    // Two 64-byte pieces in one array: the current channel carries over.
    QByteArray two = Reply().u8(0x61, 4).u8(0x62, 2).u8(VXMSG_CMD_MUTE, 1).u8(0x61, 3).bytes();
    two += Reply()
               .u8(0x62, 7)
               .u16(VXMSG_CMD_METER, 1234)
               .u8(0x61, 5)
               .u8(0x62, 1)
               .none(0x41)
               .u8(0x61, 1)
               .u8(0x62, 3)
               .none(0x42)
               .none(0x43)
               .u8(VXMSG_CMD_APS, 1)
               .text(VXMSG_CMD_DEBUG, "hello")
               .bytes();
    dev.recv_vx_recv_result(true, two);
    QCOMPARE(mute.count(), 1);
    QCOMPARE(mute.at(0).at(0).value<vxmsg_data_ch_t>(), VXMSG_DATA_CH_ANALOG_IN);
    QCOMPARE(mute.at(0).at(1).value<uint8_t>(), uint8_t(2));
    QCOMPARE(mute.at(0).at(2).toBool(), true);
    QCOMPARE(meter.count(), 1);
    QCOMPARE(meter.at(0).at(0).value<vxmsg_data_ch_t>(), VXMSG_DATA_CH_COMPUTER_OUT);
    QCOMPARE(meter.at(0).at(1).value<uint8_t>(), uint8_t(7));
    QCOMPARE(meter.at(0).at(2).value<uint32_t>(), 1234u);
    QCOMPARE(assign.count(), 1);
    QCOMPARE(assign.at(0).at(0).value<vxmsg_data_ch_t>(), VXMSG_DATA_CH_DIRECTMONITOR_OUT);
    QCOMPARE(assign.at(0).at(1).value<uint8_t>(), uint8_t(1));
    QCOMPARE(assign.at(0).at(2).value<vxmsg_data_ch_t>(), VXMSG_DATA_CH_LINE_OUT);
    QCOMPARE(assign.at(0).at(3).value<uchar>(), uchar(3));
    QCOMPARE(aps.count(), 1);
    QCOMPARE(debug.at(0).at(0).toString(), QString("hello"));

    // Payloads of the wrong kind: texts become empty, numbers never come from
    // a bytes item, a power-save item that is not a u8 is ignored.
    dev.recv_vx_recv_result(true, Reply()
                                      .u16(VXMSG_CMD_PRODUCTNAME, 7)
                                      .text(VXMSG_CMD_HZ, "abcd")
                                      .u16(VXMSG_CMD_APS, 1)
                                      .u8(VXMSG_CMD_RECFUNC, 1)
                                      .bytes());
    QCOMPARE(name.last().at(0).toString(), QString());
    QCOMPARE(hz.last().at(0).value<uint32_t>(), 0u);
    QCOMPARE(aps.count(), 1);
    QCOMPARE(recfunc.last().at(0).toByteArray(), QByteArray());
  }

  // A unit with fixed-size text fields pads its texts with zero bytes: the
  // name must still name the model (else the window never identifies it),
  // and no zero byte shows in the serial, the dates or the signature. The
  // rec-function states keep every byte: a zero is the state "off".
  void paddedTextsEndAtTheirFirstZeroByte() {
    QVXDevice dev;
    isolate(dev);
    QSignalSpy name(&dev, &QVXDevice::sig_recv_productname);
    QSignalSpy signature(&dev, &QVXDevice::sig_recv_productsig);
    QSignalSpy date(&dev, &QVXDevice::sig_recv_builddate);
    QSignalSpy time(&dev, &QVXDevice::sig_recv_buildtime);
    QSignalSpy serial(&dev, &QVXDevice::sig_recv_serialnumber);
    QSignalSpy recfunc(&dev, &QVXDevice::sig_recv_recfunc);
    dev.recv_vx_recv_result(true, Reply()
                                      .text(VXMSG_CMD_PRODUCTNAME, QByteArray("Far Link\0\0\0", 11))
                                      .text(VXMSG_CMD_PRODUCTSIG, QByteArray("KVL\0", 4))
                                      .text(VXMSG_CMD_SERIAL, QByteArray("FL2402\0\0\0\0\0\0\0\0", 14))
                                      .text(VXMSG_CMD_BUILDDATE, QByteArray("\0\0", 2))
                                      .text(VXMSG_CMD_RECFUNC, QByteArray("\x01\x00\x02\x00", 4))
                                      .bytes());
    dev.recv_vx_recv_result(true, Reply().text(VXMSG_CMD_BUILDTIME, QByteArray("12:00\0", 6)).bytes());
    QCOMPARE(name.count(), 1);
    QCOMPARE(name.at(0).at(0).toString(), QString("Far Link"));
    QCOMPARE(signature.at(0).at(0).toString(), QString("KVL"));
    QCOMPARE(serial.at(0).at(0).toString(), QString("FL2402"));
    QCOMPARE(date.at(0).at(0).toString(), QString());
    QCOMPARE(time.at(0).at(0).toString(), QString("12:00"));
    QCOMPARE(recfunc.at(0).at(0).toByteArray(), QByteArray("\x01\x00\x02\x00", 4));
  }

  void failedTransfersClearTheIdentity() {
    QVXDevice dev;
    isolate(dev);
    QSignalSpy version(&dev, &QVXDevice::sig_recv_version);
    QSignalSpy build(&dev, &QVXDevice::sig_recv_build);
    QSignalSpy name(&dev, &QVXDevice::sig_recv_productname);
    QSignalSpy date(&dev, &QVXDevice::sig_recv_builddate);
    QSignalSpy time(&dev, &QVXDevice::sig_recv_buildtime);
    QSignalSpy sends(&dev, &QVXDevice::sig_vx_send);

    dev.req_info();
    sayReady(dev, sends);
    dev.req_hz();  // pending behind the message with the worker
    dev.recv_vx_send_result(false);
    QCOMPARE(version.count(), 1);
    QCOMPARE(version.last().at(0).value<uint16_t>(), uint16_t(0));
    QCOMPARE(build.last().at(0).value<uint16_t>(), uint16_t(0));
    QCOMPARE(name.last().at(0).toString(), QString());
    QCOMPARE(date.last().at(0).toString(), QString());
    QCOMPARE(time.last().at(0).toString(), QString());

    // A failed receive does the same and decodes nothing.
    dev.recv_vx_recv_result(false, Reply().text(VXMSG_CMD_PRODUCTNAME, "Tarrow").ready(true).bytes());
    QCOMPARE(name.count(), 2);
    QCOMPARE(name.last().at(0).toString(), QString());
    QCOMPARE(sends.count(), 1);  // not ready: the pending rate request waits

    // So does a failed meter fetch: the unit may have been replaced by
    // another model, whose meters the old layout would misread.
    dev.recv_get_meter_zr(false, QByteArray(96 * 8, '\0'), 0);
    QCOMPARE(name.count(), 3);
    QCOMPARE(name.last().at(0).toString(), QString());
    dev.recv_get_meter_zr(true, QByteArray(96 * 8, '\0'), 96);
    QCOMPARE(name.count(), 3);
  }

  void meterReadsCoalesce() {
    QVXDevice dev;
    isolate(dev);
    QSignalSpy fetches(&dev, &QVXDevice::sig_vx_get_meter);
    QSignalSpy otherFetches(&dev, &QVXDevice::sig_vx_get_meter_qnb);
    vxctl_meter_t records[97];
    int num = -1;

    QVERIFY(!dev.get_meter(records, 97, &num));  // nothing fetched yet
    QCOMPARE(num, 0);
    QCOMPARE(fetches.count(), 1);
    QVERIFY(!dev.get_meter(records, 97, &num));
    QVERIFY(!dev.get_meter(records, 97, &num));
    QCOMPARE(fetches.count(), 1);  // one running, one queued

    vxctl_meter_t sent[97] = {};
    for (int i = 0; i < 97; ++i)
      sent[i] = vxctl_meter_t{uint32_t(1 + i % 8), uint8_t(i + 1), 0, uint16_t(100 * i)};
    QByteArray bytes(reinterpret_cast<const char*>(sent), sizeof sent);
    dev.recv_get_meter(true, bytes, 97);
    QCOMPARE(fetches.count(), 2);  // the queued fetch starts now
    dev.recv_get_meter(true, bytes + QByteArray(4096, '\x7f'),
                       97);  // oversized answer: only the cache is filled
    QCOMPARE(fetches.count(), 2);

    QVERIFY(dev.get_meter(records, 97, &num));
    QCOMPARE(num, 97);
    QCOMPARE(records[96].number, uint8_t(97));
    QCOMPARE(records[96].value, uint16_t(9600));
    QCOMPARE(fetches.count(), 3);
    QCOMPARE(otherFetches.count(), 0);  // layouts are independent

    // A shorter read copies only what was asked for.
    vxctl_meter_t few[3];
    std::memset(few, 0xEE, sizeof few);
    dev.get_meter(few, 2, nullptr);
    QCOMPARE(few[1].value, uint16_t(100));
    QCOMPARE(few[2].type, 0xEEEEEEEEu);

    // The window reads and clears every 100 ms. Against a slow unit that
    // must not pile up fetches: still one running and one queued.
    for (int tick = 0; tick < 20; ++tick) {
      QVERIFY(!dev.get_meter(records, 97, &num) || tick == 0);
      dev.clear_meters();
    }
    QCOMPARE(num, 0);
    QCOMPARE(fetches.count(), 3);
    dev.recv_get_meter(true, bytes, 97);
    QCOMPARE(fetches.count(), 4);
    dev.recv_get_meter(true, bytes, 97);
    QCOMPARE(fetches.count(), 4);
    QVERIFY(dev.get_meter(records, 97, &num));
    QCOMPARE(fetches.count(), 5);

    // A failed fetch makes the next read fail.
    dev.recv_get_meter(false, QByteArray(97 * 8, '\0'), 0);
    QVERIFY(!dev.get_meter(records, 97, &num));
    QCOMPARE(num, 0);
  }

  // With the worker thread in place and no unit: every transfer fails, the
  // proxy clears the identity, meter reads fail, and destruction ends the
  // thread.
  // The window reads and clears every 100 ms. A fetch still under way at the
  // next read is not a failure (the unit would be deselected and searched
  // for again about once a second); a fetch that failed is reported once,
  // even across the clear that follows every read.
  void pendingFetchIsNotAFailure() {
    QVXDevice dev;
    isolate(dev);
    int records = 0;
    const vxfacade::MeterSink count = [&records](vxmsg_data_ch_t, uint8_t, uint16_t) { ++records; };
    vxctl_meter_t sent[97] = {};
    for (int i = 0; i < 97; ++i) sent[i] = vxctl_meter_t{4, uint8_t(i + 1), 0, uint16_t(i)};
    const QByteArray bytes(reinterpret_cast<const char*>(sent), sizeof sent);

    QCOMPARE(vxfacade::fetchMeter(dev, VXMETER_COMMON, count), vxfacade::MeterFetch::Pending);
    dev.recv_get_meter(true, bytes, 97);
    QCOMPARE(vxfacade::fetchMeter(dev, VXMETER_COMMON, count), vxfacade::MeterFetch::Fresh);
    QCOMPARE(records, 97);
    dev.clear_meters();
    // The fetch started by that read has not answered yet.
    QCOMPARE(vxfacade::fetchMeter(dev, VXMETER_COMMON, count), vxfacade::MeterFetch::Pending);
    dev.clear_meters();
    QCOMPARE(vxfacade::fetchMeter(dev, VXMETER_COMMON, count), vxfacade::MeterFetch::Pending);
    QCOMPARE(records, 97);

    dev.recv_get_meter(false, QByteArray(97 * 8, '\0'), 0);
    dev.clear_meters();
    QCOMPARE(vxfacade::fetchMeter(dev, VXMETER_COMMON, count), vxfacade::MeterFetch::Failed);
    QCOMPARE(vxfacade::fetchMeter(dev, VXMETER_COMMON, count), vxfacade::MeterFetch::Pending);
    // Layouts keep their own reports.
    dev.recv_get_meter_drt(false, QByteArray(62 * 8, '\0'), 0);
    QCOMPARE(vxfacade::fetchMeter(dev, VXMETER_COMMON, count), vxfacade::MeterFetch::Pending);
    QCOMPARE(vxfacade::fetchMeter(dev, VXMETER_DRT, count), vxfacade::MeterFetch::Failed);

    // An answer claiming more records than the layout holds is a failure.
    dev.recv_get_meter(true, bytes, 98);
    QCOMPARE(vxfacade::fetchMeter(dev, VXMETER_COMMON, count), vxfacade::MeterFetch::Failed);
    QCOMPARE(records, 97);
  }

  void workerWithoutUnit() {
    QScopedPointer<QVXDevice> dev(new QVXDevice);
    QSignalSpy name(dev.data(), &QVXDevice::sig_recv_productname);
    QSignalSpy recvs(dev.data(), &QVXDevice::sig_vx_recv);

    QVERIFY(!dev->deselect());
    QVERIFY(!dev->is_selected());
    dev->req_info();
    QTRY_VERIFY(name.count() >= 1);
    QCOMPARE(name.last().at(0).toString(), QString());
    QVERIFY(!dev->deselect());  // even after the worker answered

    vxctl_meter_t records[62];
    dev->get_meter_drt(records, 62, nullptr);
    QTest::qWait(200);
    int num = -1;
    QVERIFY(!dev->get_meter_drt(records, 62, &num));
    QCOMPARE(num, 0);
    QTRY_VERIFY(!dev->is_selected());
    dev.reset();
  }

  // The unit answers every program from one queue. While the proxy asks
  // for identity and rate against a real host, a second client (here the
  // device library in a thread of its own, as korvelctl does it) asks for
  // the same in a loop. Neither may lose an answer to the other.
  void exchangesDoNotInterleaveWithAnotherClient() {
#ifdef KORVEL_DEVHOST_PATH
    // This test program does not depend on the host's target: a build of only
    // this target has no host to start.
    if (!QFileInfo::exists(QStringLiteral(KORVEL_DEVHOST_PATH))) QSKIP("korvel-devhost is not built");
#else
    QSKIP("no korvel-devhost in this build");
#endif
    DevhostProcess host;
    QVERIFY2(host.start({"--model", "Tarrow"}), qPrintable(host.error()));

    QScopedPointer<QVXDevice> dev(new QVXDevice);
    QTRY_VERIFY_WITH_TIMEOUT(dev->is_selected(), 10000);
    QSignalSpy names(dev.data(), &QVXDevice::sig_recv_productname);
    QSignalSpy rates(dev.data(), &QVXDevice::sig_recv_hz);

    std::atomic<bool> stop{false};
    std::atomic<int> asked{0};
    std::atomic<int> failed{0};
    std::atomic<int> wrong{0};
    std::thread other([&] {
      vxdev_t device;
      vxdev_init(&device);
      vxdev_reset(&device);
      usbdevs_handle h = nullptr;
      if (vxdev_open(&device, &h) != 0 || h == nullptr) {
        failed = 1;
        return;
      }
      while (!stop) {
        char name[64] = {};
        uint8_t len = 0;
        uint32_t hz = 0;
        const bool ok =
            vxctl_get_productname(&h, name, sizeof name - 1, &len) == 0 && vxctl_get_hz(&h, &hz) == 0;
        ++asked;
        if (!ok) {
          ++failed;
        } else if (QByteArray(name, len) != "Tarrow" || hz == 0) {
          ++wrong;
        }
        // korvelctl starts anew for every call: a moment passes between two.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });

    // The proxy's requests come round as the window's timers make them.
    int rounds = 0;
    int missing = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 3000) {
      const int namesBefore = names.count();
      const int ratesBefore = rates.count();
      dev->req_info();
      dev->req_hz();
      QElapsedTimer wait;
      wait.start();
      while ((names.count() == namesBefore || rates.count() == ratesBefore) && wait.elapsed() < 5000) {
        QTest::qWait(5);
      }
      if (names.count() == namesBefore || rates.count() == ratesBefore) ++missing;
      ++rounds;
    }
    stop = true;
    other.join();

    const QByteArray counts = QByteArray::number(rounds) + " proxy rounds, " + QByteArray::number(missing) +
                              " unanswered; " + QByteArray::number(asked.load()) + " other rounds, " +
                              QByteArray::number(failed.load()) + " failed, " +
                              QByteArray::number(wrong.load()) + " wrong";
    QVERIFY2(missing == 0 && asked > 0 && failed == 0 && wrong == 0, counts.constData());
    for (const QList<QVariant>& name : names) QCOMPARE(name.at(0).toString(), QString("Tarrow"));
    for (const QList<QVariant>& rate : rates) QVERIFY(rate.at(0).toUInt() != 0);
    qInfo("%s", counts.constData());
    dev.reset();
    host.stop();
  }
};

QTEST_GUILESS_MAIN(TestQVXDevice)
#include "tst_qvxdevice.moc"
