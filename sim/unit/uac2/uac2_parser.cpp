// Reading a USB Audio 2.0 configuration descriptor back as the simulated
// unit routes it (see uac2_parser.h). The records and codes are the driver's
// (usb_audio_descriptors.h); each is read only once its bLength holds it.
#include "uac2_parser.h"

#include "usb_audio_descriptors.h"

namespace korvel::sim::uac2 {

namespace {

// Calls `visit(d, bLength)` for each whole descriptor of `c` from its first
// byte on; stops at one with a bLength below 2 or past the bytes there are.
template <typename Visit>
void each_descriptor(const std::vector<uint8_t>& c, Visit visit) {
  for (size_t i = 0; i + 2 <= c.size();) {
    const uint8_t len = c[i];
    if (len < 2 || i + len > c.size()) break;
    visit(&c[i], len);
    i += len;
  }
}

uint8_t type_of(const uint8_t* d) {
  return DescriptorAs<UsbDescriptorHeader>(d)->bDescriptorType;
}

// Of a class-specific descriptor of at least 3 bytes.
uint8_t subtype_of(const uint8_t* d) {
  return DescriptorAs<Uac2CsDescriptorHeader>(d)->bDescriptorSubtype;
}

// A clock selector of `len` bytes: whether it holds its pins and the
// bytes after them, and if so its entity.
bool read_clock_selector(const uint8_t* d, uint8_t len, ClockEntity* e) {
  const uint8_t fixed = sizeof(Uac2ClockSelectorDescriptor);
  if (len < fixed) return false;
  const uint8_t pins = DescriptorAs<Uac2ClockSelectorDescriptor>(d)->bNrInPins;
  if (len < fixed + kUac2ClockSelectorTrailer + pins) return false;
  e->kind = ClockEntity::Kind::Selector;
  e->inputs.assign(d + fixed, d + fixed + pins);
  e->controls = d[fixed + pins];  // bmControls, after the pins
  return true;
}

}  // namespace

std::vector<ClockEntity> clock_entities(const std::vector<uint8_t>& c) {
  std::vector<ClockEntity> out;
  each_descriptor(c, [&](const uint8_t* d, uint8_t len) {
    if (type_of(d) != kUac2CsInterface || len < sizeof(Uac2EntityHeader)) return;
    ClockEntity e;
    e.id = DescriptorAs<Uac2EntityHeader>(d)->bEntityID;
    const uint8_t subtype = subtype_of(d);
    if (subtype == kUac2ClockSource && len >= sizeof(Uac2ClockSourceDescriptor)) {
      const Uac2ClockSourceDescriptor* s = DescriptorAs<Uac2ClockSourceDescriptor>(d);
      e.kind = ClockEntity::Kind::Source;
      e.attributes = s->bmAttributes;
      e.controls = s->bmControls;
      out.push_back(e);
    } else if (subtype == kUac2ClockSelector) {
      if (read_clock_selector(d, len, &e)) out.push_back(e);
    } else if (subtype == kUac2ClockMultiplier && len >= sizeof(Uac2ClockMultiplierDescriptor)) {
      const Uac2ClockMultiplierDescriptor* m = DescriptorAs<Uac2ClockMultiplierDescriptor>(d);
      e.kind = ClockEntity::Kind::Multiplier;
      e.inputs.push_back(m->bCSourceID);
      e.controls = m->bmControls;
      out.push_back(e);
    }
  });
  return out;
}

int control_interface(const std::vector<uint8_t>& c) {
  int number = -1;
  each_descriptor(c, [&](const uint8_t* d, uint8_t len) {
    if (number >= 0 || type_of(d) != kUsbInterfaceType || len < sizeof(UsbInterfaceDescriptor)) return;
    const UsbInterfaceDescriptor* i = DescriptorAs<UsbInterfaceDescriptor>(d);
    if (i->bInterfaceClass == kUac2AudioClass && i->bInterfaceSubClass == kUac2AudioControl &&
        i->bInterfaceProtocol == kUac2Protocol)
      number = i->bInterfaceNumber;
  });
  return number;
}

std::map<uint8_t, uint8_t> terminal_clocks(const std::vector<uint8_t>& c) {
  std::map<uint8_t, uint8_t> out;
  each_descriptor(c, [&](const uint8_t* d, uint8_t len) {
    if (type_of(d) != kUac2CsInterface || len < sizeof(Uac2CsDescriptorHeader)) return;
    if (subtype_of(d) == kUac2InputTerminal && len >= sizeof(Uac2InputTerminalDescriptor)) {
      const Uac2InputTerminalDescriptor* it = DescriptorAs<Uac2InputTerminalDescriptor>(d);
      out[it->bTerminalID] = it->bCSourceID;
    }
    if (subtype_of(d) == kUac2OutputTerminal && len >= sizeof(Uac2OutputTerminalDescriptor)) {
      const Uac2OutputTerminalDescriptor* ot = DescriptorAs<Uac2OutputTerminalDescriptor>(d);
      out[ot->bTerminalID] = ot->bCSourceID;
    }
  });
  return out;
}

namespace {

// The streaming interfaces being read: the interface and the setting the
// descriptors at hand belong to (none outside an AudioStreaming interface).
struct LayoutReader {
  std::vector<StreamingInterface> out;
  StreamingInterface* itf = nullptr;
  StreamingSetting* setting = nullptr;

  // Each interface descriptor begins a setting of an AudioStreaming
  // interface (of the number's entry, made at its first descriptor) or ends
  // the streaming part.
  void interface(const UsbInterfaceDescriptor* d) {
    itf = nullptr;
    setting = nullptr;
    if (d->bInterfaceClass != kUac2AudioClass || d->bInterfaceSubClass != kUac2AudioStreaming) return;
    for (StreamingInterface& s : out) {
      if (s.number == d->bInterfaceNumber) itf = &s;
    }
    if (itf == nullptr) {
      out.push_back(StreamingInterface{});
      itf = &out.back();
      itf->number = d->bInterfaceNumber;
    }
    itf->settings.push_back(StreamingSetting{});
    setting = &itf->settings.back();
    setting->alt = d->bAlternateSetting;
  }

  // An isochronous endpoint of the setting: data, or data of
  // implicit-feedback usage (it paces the other way too), or feedback.
  void endpoint(const UsbEndpointDescriptor* e) {
    const uint8_t usage = e->bmAttributes & kUsbUsageMask;
    if (usage == kUsbUsageData || usage == kUsbUsageImplicitFeedbackData) {
      setting->data_endpoint = e->bEndpointAddress;
      setting->data_interval = e->bInterval;
      setting->data_sync = uint8_t((e->bmAttributes >> kUsbSyncTypeShift) & kUsbSyncTypeMask);
      itf->render = (e->bEndpointAddress & kUsbEndpointIn) == 0;
    } else if (usage == kUsbUsageFeedback) {
      setting->feedback_endpoint = e->bEndpointAddress;
      setting->feedback_bytes = uint16_t(e->wMaxPacketSize & kUsbPacketSizeMask);
    }
  }

  void descriptor(const uint8_t* d, uint8_t len) {
    const uint8_t type = type_of(d);
    if (type == kUsbInterfaceType && len >= sizeof(UsbInterfaceDescriptor)) {
      interface(DescriptorAs<UsbInterfaceDescriptor>(d));
    } else if (setting == nullptr) {
      return;
    } else if (type == kUac2CsInterface && len >= sizeof(Uac2AsGeneralDescriptor) &&
               subtype_of(d) == kUac2AsGeneral) {
      const Uac2AsGeneralDescriptor* g = DescriptorAs<Uac2AsGeneralDescriptor>(d);
      setting->format.channels = g->bNrChannels;
      if (itf->terminal == 0) itf->terminal = g->bTerminalLink;
    } else if (type == kUac2CsInterface && len >= sizeof(Uac2FormatTypeIDescriptor) &&
               subtype_of(d) == kUac2FormatType &&
               DescriptorAs<Uac2FormatTypeIDescriptor>(d)->bFormatType == kUac2FormatTypeI) {
      const Uac2FormatTypeIDescriptor* f = DescriptorAs<Uac2FormatTypeIDescriptor>(d);
      setting->format.subslot_bytes = f->bSubslotSize;
      setting->format.bits = f->bBitResolution;
    } else if (type == kUsbEndpointType && len >= sizeof(UsbEndpointDescriptor) &&
               (DescriptorAs<UsbEndpointDescriptor>(d)->bmAttributes & kUsbTransferTypeMask) ==
                   kUsbIsochronous) {
      endpoint(DescriptorAs<UsbEndpointDescriptor>(d));
    }
  }
};

}  // namespace

std::vector<StreamingInterface> streaming_layout(const std::vector<uint8_t>& c) {
  LayoutReader reader;
  each_descriptor(c, [&](const uint8_t* d, uint8_t len) { reader.descriptor(d, len); });
  // A setting without a whole PCM format carries nothing the unit plays.
  for (StreamingInterface& s : reader.out) {
    for (StreamingSetting& st : s.settings) {
      if (st.format.channels == 0 || st.format.subslot_bytes == 0 || st.format.subslot_bytes > 4 ||
          st.data_endpoint == 0)
        st.format = AudioFormat{};
    }
  }
  return reader.out;
}

}  // namespace korvel::sim::uac2
