// Kernel-Mode Driver Framework 1.11, the USB target (device, interfaces,
// pipes) that the driver calls, for the Linux stand-in: <wdfusb.h> as the WDK
// has it: it includes nothing, so a source includes <usb.h>, <usbdlib.h>
// and <wdf.h> before it.
#ifndef KORVEL_KMDF_WDFUSB_H
#define KORVEL_KMDF_WDFUSB_H

typedef enum _WDF_USB_REQUEST_TYPE {
  WdfUsbRequestTypeInvalid = 0,
  WdfUsbRequestTypeNoFormat,
  WdfUsbRequestTypeDeviceString,
  WdfUsbRequestTypeDeviceControlTransfer,
  WdfUsbRequestTypeDeviceUrb,
  WdfUsbRequestTypePipeWrite,
  WdfUsbRequestTypePipeRead,
  WdfUsbRequestTypePipeAbort,
  WdfUsbRequestTypePipeReset,
  WdfUsbRequestTypePipeUrb,
} WDF_USB_REQUEST_TYPE;

typedef enum _WDF_USB_BMREQUEST_DIRECTION {
  BmRequestHostToDevice = 0,
  BmRequestDeviceToHost = 1,
} WDF_USB_BMREQUEST_DIRECTION;

typedef enum _WDF_USB_BMREQUEST_TYPE {
  BmRequestStandard = 0,
  BmRequestClass = 1,
  BmRequestVendor = 2,
} WDF_USB_BMREQUEST_TYPE;

typedef enum _WDF_USB_BMREQUEST_RECIPIENT {
  BmRequestToDevice = 0,
  BmRequestToInterface = 1,
  BmRequestToEndpoint = 2,
  BmRequestToOther = 3,
} WDF_USB_BMREQUEST_RECIPIENT;

typedef union _WDF_USB_CONTROL_SETUP_PACKET {
  struct {
    union {
      struct {
        UCHAR Recipient : 2;
        UCHAR Reserved : 3;
        UCHAR Type : 2;
        UCHAR Dir : 1;
      } Request;
      UCHAR Byte;
    } bm;
    UCHAR bRequest;
    union {
      struct {
        UCHAR LowByte;
        UCHAR HiByte;
      } Bytes;
      USHORT Value;
    } wValue;
    union {
      struct {
        UCHAR LowByte;
        UCHAR HiByte;
      } Bytes;
      USHORT Value;
    } wIndex;
    USHORT wLength;
  } Packet;
  struct {
    UCHAR Bytes[8];
  } Generic;
} WDF_USB_CONTROL_SETUP_PACKET, *PWDF_USB_CONTROL_SETUP_PACKET;
static_assert(sizeof(WDF_USB_CONTROL_SETUP_PACKET) == 8 && alignof(WDF_USB_CONTROL_SETUP_PACKET) == 2,
              "WDF_USB_CONTROL_SETUP_PACKET layout");

typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS {
  USBD_STATUS UsbdStatus;
  WDF_USB_REQUEST_TYPE Type;
  union {
    struct {
      WDFMEMORY Buffer;
      USHORT LangID;
      UCHAR StringIndex;
      UCHAR RequiredSize;
    } DeviceString;
    struct {
      WDFMEMORY Buffer;
      WDF_USB_CONTROL_SETUP_PACKET SetupPacket;
      ULONG Length;
    } DeviceControlTransfer;
    struct {
      WDFMEMORY Buffer;
    } DeviceUrb;
    struct {
      WDFMEMORY Buffer;
      size_t Length;
      size_t Offset;
    } PipeWrite;
    struct {
      WDFMEMORY Buffer;
      size_t Length;
      size_t Offset;
    } PipeRead;
    struct {
      WDFMEMORY Buffer;
    } PipeUrb;
  } Parameters;
} WDF_USB_REQUEST_COMPLETION_PARAMS, *PWDF_USB_REQUEST_COMPLETION_PARAMS;
static_assert(offsetof(WDF_USB_REQUEST_COMPLETION_PARAMS, Parameters.DeviceControlTransfer.SetupPacket) ==
                      16 &&
                  offsetof(WDF_USB_REQUEST_COMPLETION_PARAMS, Parameters.DeviceControlTransfer.Length) ==
                      24 &&
                  sizeof(WDF_USB_REQUEST_COMPLETION_PARAMS) == 32,
              "WDF_USB_REQUEST_COMPLETION_PARAMS layout (x64)");

// ---------------------------------------------------------------------------
// USB target
// ---------------------------------------------------------------------------
typedef struct _WDF_USB_DEVICE_CREATE_CONFIG {
  ULONG Size;
  ULONG USBDClientContractVersion;
} WDF_USB_DEVICE_CREATE_CONFIG, *PWDF_USB_DEVICE_CREATE_CONFIG;

inline void WDF_USB_DEVICE_CREATE_CONFIG_INIT(PWDF_USB_DEVICE_CREATE_CONFIG Config,
                                              ULONG USBDClientContractVersion) {
  RtlZeroMemory(Config, sizeof(WDF_USB_DEVICE_CREATE_CONFIG));
  Config->Size = sizeof(WDF_USB_DEVICE_CREATE_CONFIG);
  Config->USBDClientContractVersion = USBDClientContractVersion;
}

typedef enum _WDF_USB_DEVICE_TRAITS {
  WDF_USB_DEVICE_TRAIT_SELF_POWERED = 0x00000001,
  WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE = 0x00000002,
  WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED = 0x00000004,
} WDF_USB_DEVICE_TRAITS;

typedef struct _WDF_USB_DEVICE_INFORMATION {
  ULONG Size;
  USBD_VERSION_INFORMATION UsbdVersionInformation;
  ULONG HcdPortCapabilities;
  ULONG Traits;
} WDF_USB_DEVICE_INFORMATION, *PWDF_USB_DEVICE_INFORMATION;

inline void WDF_USB_DEVICE_INFORMATION_INIT(PWDF_USB_DEVICE_INFORMATION Info) {
  RtlZeroMemory(Info, sizeof(WDF_USB_DEVICE_INFORMATION));
  Info->Size = sizeof(WDF_USB_DEVICE_INFORMATION);
}

typedef struct _WDF_USB_INTERFACE_SETTING_PAIR {
  WDFUSBINTERFACE UsbInterface;
  UCHAR SettingIndex;
} WDF_USB_INTERFACE_SETTING_PAIR, *PWDF_USB_INTERFACE_SETTING_PAIR;

typedef enum _WdfUsbTargetDeviceSelectConfigType {
  WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
  WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
  WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
  WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
  WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs = 4,
  WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor = 5,
  WdfUsbTargetDeviceSelectConfigTypeUrb = 6,
} WdfUsbTargetDeviceSelectConfigType;

typedef struct _WDF_USB_DEVICE_SELECT_CONFIG_PARAMS {
  ULONG Size;
  WdfUsbTargetDeviceSelectConfigType Type;
  union {
    struct {
      PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
      PUSB_INTERFACE_DESCRIPTOR* InterfaceDescriptors;
      ULONG NumInterfaceDescriptors;
    } Descriptor;
    struct {
      PURB Urb;
    } Urb;
    struct {
      UCHAR NumberConfiguredPipes;
      WDFUSBINTERFACE ConfiguredUsbInterface;
    } SingleInterface;
    struct {
      UCHAR NumberInterfaces;
      PWDF_USB_INTERFACE_SETTING_PAIR Pairs;
      UCHAR NumberOfConfiguredInterfaces;
    } MultiInterface;
  } Types;
} WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, *PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS;

inline void WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params, UCHAR NumberInterfaces,
    PWDF_USB_INTERFACE_SETTING_PAIR SettingPairs) {
  RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
  Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
  if (SettingPairs != NULL && NumberInterfaces != 0) {
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs;
    Params->Types.MultiInterface.NumberInterfaces = NumberInterfaces;
    Params->Types.MultiInterface.Pairs = SettingPairs;
  } else {
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeMultiInterface;
  }
}

typedef enum _WdfUsbInterfaceSelectSettingType {
  WdfUsbInterfaceSelectSettingTypeDescriptor = 0x10,
  WdfUsbInterfaceSelectSettingTypeSetting = 0x11,
  WdfUsbInterfaceSelectSettingTypeUrb = 0x12,
} WdfUsbInterfaceSelectSettingType;

typedef struct _WDF_USB_INTERFACE_SELECT_SETTING_PARAMS {
  ULONG Size;
  WdfUsbInterfaceSelectSettingType Type;
  union {
    struct {
      PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    } Descriptor;
    struct {
      UCHAR SettingIndex;
    } Interface;
    struct {
      PURB Urb;
    } Urb;
  } Types;
} WDF_USB_INTERFACE_SELECT_SETTING_PARAMS, *PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS;

inline void WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(
    PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params, UCHAR SettingIndex) {
  RtlZeroMemory(Params, sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS));
  Params->Size = sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS);
  Params->Type = WdfUsbInterfaceSelectSettingTypeSetting;
  Params->Types.Interface.SettingIndex = SettingIndex;
}

typedef enum _WDF_USB_PIPE_TYPE {
  WdfUsbPipeTypeInvalid = 0,
  WdfUsbPipeTypeControl,
  WdfUsbPipeTypeIsochronous,
  WdfUsbPipeTypeBulk,
  WdfUsbPipeTypeInterrupt,
} WDF_USB_PIPE_TYPE;

typedef struct _WDF_USB_PIPE_INFORMATION {
  ULONG Size;
  ULONG MaximumPacketSize;
  UCHAR EndpointAddress;
  UCHAR Interval;
  UCHAR SettingIndex;
  WDF_USB_PIPE_TYPE PipeType;
  ULONG MaximumTransferSize;
} WDF_USB_PIPE_INFORMATION, *PWDF_USB_PIPE_INFORMATION;

inline void WDF_USB_PIPE_INFORMATION_INIT(PWDF_USB_PIPE_INFORMATION Info) {
  RtlZeroMemory(Info, sizeof(WDF_USB_PIPE_INFORMATION));
  Info->Size = sizeof(WDF_USB_PIPE_INFORMATION);
}

inline void WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                    WDF_USB_BMREQUEST_DIRECTION Direction,
                                                    WDF_USB_BMREQUEST_RECIPIENT Recipient, BYTE Request,
                                                    USHORT Value, USHORT Index) {
  RtlZeroMemory(Packet, sizeof(WDF_USB_CONTROL_SETUP_PACKET));
  Packet->Packet.bm.Request.Dir = (BYTE)Direction;
  Packet->Packet.bm.Request.Type = (BYTE)BmRequestClass;
  Packet->Packet.bm.Request.Recipient = (BYTE)Recipient;
  Packet->Packet.bRequest = Request;
  Packet->Packet.wValue.Value = Value;
  Packet->Packet.wIndex.Value = Index;
}

inline void WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                     WDF_USB_BMREQUEST_DIRECTION Direction,
                                                     WDF_USB_BMREQUEST_RECIPIENT Recipient, BYTE Request,
                                                     USHORT Value, USHORT Index) {
  RtlZeroMemory(Packet, sizeof(WDF_USB_CONTROL_SETUP_PACKET));
  Packet->Packet.bm.Request.Dir = (BYTE)Direction;
  Packet->Packet.bm.Request.Type = (BYTE)BmRequestVendor;
  Packet->Packet.bm.Request.Recipient = (BYTE)Recipient;
  Packet->Packet.bRequest = Request;
  Packet->Packet.wValue.Value = Value;
  Packet->Packet.wIndex.Value = Index;
}

extern "C" {
NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes,
                                  WDFUSBDEVICE* UsbDevice);
NTSTATUS WdfUsbTargetDeviceCreateWithParameters(WDFDEVICE Device, PWDF_USB_DEVICE_CREATE_CONFIG Config,
                                                PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDevice);
NTSTATUS WdfUsbTargetDeviceRetrieveInformation(WDFUSBDEVICE UsbDevice,
                                               PWDF_USB_DEVICE_INFORMATION Information);
void WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice,
                                           PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor);
NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE UsbDevice, PVOID ConfigDescriptor,
                                                    PUSHORT ConfigDescriptorLength);
UCHAR WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE UsbDevice);
WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE UsbDevice, UCHAR InterfaceIndex);
NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params);
NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                            PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                            PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                                            PULONG BytesTransferred);
NTSTATUS WdfUsbTargetDeviceIsConnectedSynchronous(WDFUSBDEVICE UsbDevice);
NTSTATUS WdfUsbTargetDeviceRetrieveCurrentFrameNumber(WDFUSBDEVICE UsbDevice, PULONG CurrentFrameNumber);
NTSTATUS WdfUsbTargetDeviceCreateIsochUrb(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES Attributes,
                                          ULONG NumberOfIsochPackets, WDFMEMORY* UrbMemory, PURB* Urb);
NTSTATUS WdfUsbInterfaceSelectSetting(WDFUSBINTERFACE UsbInterface, PWDF_OBJECT_ATTRIBUTES PipesAttributes,
                                      PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params);
BYTE WdfUsbInterfaceGetInterfaceNumber(WDFUSBINTERFACE UsbInterface);
BYTE WdfUsbInterfaceGetNumSettings(WDFUSBINTERFACE UsbInterface);
BYTE WdfUsbInterfaceGetConfiguredSettingIndex(WDFUSBINTERFACE Interface);
BYTE WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface);
WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                            PWDF_USB_PIPE_INFORMATION PipeInfo);
void WdfUsbTargetPipeGetInformation(WDFUSBPIPE Pipe, PWDF_USB_PIPE_INFORMATION PipeInformation);
USBD_PIPE_HANDLE WdfUsbTargetPipeWdmGetPipeHandle(WDFUSBPIPE UsbPipe);
WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe);
NTSTATUS WdfUsbTargetPipeAbortSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions);
NTSTATUS WdfUsbTargetPipeFormatRequestForUrb(WDFUSBPIPE PIPE, WDFREQUEST Request, WDFMEMORY UrbMemory,
                                             PWDFMEMORY_OFFSET UrbMemoryOffset);
}

#endif
