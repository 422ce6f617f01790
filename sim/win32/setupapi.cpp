// SetupAPI subset: device-information sets of the present devices that expose
// an interface of a class, as the device host publishes them.
#include <setupapi.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "devhost_wire.h"
#include "handles.h"
#include "host_link.h"

using namespace korvel;

namespace {

struct DevInfoSet : win32::Object {
  DevInfoSet() : Object(win32::Kind::DevInfoSet) {}
  GUID interface_class{};
  std::vector<wire::DeviceEntry> devices;
};

// {4d36e96c-e325-11ce-bfc1-08002be10318}: the MEDIA device setup class.
// Source: devguid.h: GUID_DEVCLASS_MEDIA.
constexpr GUID kMediaClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

constexpr int kEnumerateTimeoutMs = 5000;

DevInfoSet* lookup(HDEVINFO set) {
  if (!win32::handle_table().contains(set, win32::Kind::DevInfoSet)) return nullptr;
  return static_cast<DevInfoSet*>(static_cast<win32::Object*>(set));
}

// Our own choice: what the Reserved fields carry; SetupAPI keeps them opaque.
// Reserved field of SP_DEVINFO_DATA: device index + 1.
const wire::DeviceEntry* device_of(DevInfoSet* s, PSP_DEVINFO_DATA d) {
  if (!d || d->cbSize != sizeof(SP_DEVINFO_DATA) || d->Reserved == 0 || d->Reserved > s->devices.size())
    return nullptr;
  return &s->devices[d->Reserved - 1];
}

void fill_devinfo(PSP_DEVINFO_DATA d, size_t index) {
  d->ClassGuid = kMediaClass;
  d->DevInst = DWORD(index + 1);
  d->Reserved = index + 1;
}

// Reserved field of SP_DEVICE_INTERFACE_DATA: (device index + 1) << 16 | interface index.
bool interface_of(DevInfoSet* s, PSP_DEVICE_INTERFACE_DATA i, size_t* dev, size_t* itf) {
  if (!i || i->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return false;
  size_t d = i->Reserved >> 16;
  size_t k = i->Reserved & 0xFFFF;
  if (d == 0 || d > s->devices.size() || k >= s->devices[d - 1].interfaces.size()) return false;
  *dev = d - 1;
  *itf = k;
  return true;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* class_guid, PCWSTR, HWND, DWORD flags) {
  // Source: setupapi.h: SetupDiGetClassDevsW needs a class GUID unless DIGCF_ALLCLASSES is set; the
  // error is our own choice.
  if (!class_guid && !(flags & DIGCF_ALLCLASSES)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::vector<wire::DeviceEntry> devices;
  // Only interface classes of present devices are published by the host; any
  // other query yields an empty (but valid) set, as it would on a machine
  // without such devices.
  if (class_guid && (flags & DIGCF_DEVICEINTERFACE)) {
    wire::Request req;
    req.op = wire::Op::Enumerate;
    std::memcpy(req.interface_class, class_guid, 16);
    wire::Reply reply;
    uint32_t error = 0;
    if (win32::call_host(req, &reply, kEnumerateTimeoutMs, &error)) {
      if (reply.status == wire::kStatusSuccess) devices = std::move(reply.devices);
    } else if (error == ERROR_BUSY) {
      // A host that takes no more clients is not "no device": say so.
      SetLastError(ERROR_BUSY);
      return INVALID_HANDLE_VALUE;
    }
  }
  auto* set = new DevInfoSet;
  if (class_guid) set->interface_class = *class_guid;
  set->devices = std::move(devices);
  win32::handle_table().add(set);
  SetLastError(ERROR_SUCCESS);
  return static_cast<win32::Object*>(set);
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO h, DWORD index, PSP_DEVINFO_DATA data) {
  DevInfoSet* s = lookup(h);
  if (!s) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Source: setupapi.h: SP_DEVINFO_DATA.cbSize; the errors are our own choice.
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (index >= s->devices.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  fill_devinfo(data, index);
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                                              PBYTE buffer, DWORD size, PDWORD required) {
  DevInfoSet* s = lookup(h);
  if (!s) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const wire::DeviceEntry* dev = device_of(s, data);
  if (!dev || (!buffer && size)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Our own choice: only SPDRP_SERVICE, and the errors.
  if (property != SPDRP_SERVICE) {  // the only property our devices carry
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  DWORD need = DWORD((dev->service.size() + 1) * sizeof(WCHAR));
  if (required) *required = need;
  if (type) *type = REG_SZ;
  if (size < need) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, dev->service.c_str(), need);
  return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO h, PSP_DEVINFO_DATA data, const GUID* guid, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA itf) {
  DevInfoSet* s = lookup(h);
  if (!s) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!guid || !itf) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Source: setupapi.h: SP_DEVICE_INTERFACE_DATA.cbSize; our own choice that an interface class
  // other than the set's yields none.
  if (itf->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  size_t first = 0, last = s->devices.size();
  if (data) {
    const wire::DeviceEntry* dev = device_of(s, data);
    if (!dev) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    first = size_t(dev - s->devices.data());
    last = first + 1;
  }
  if (std::memcmp(guid, &s->interface_class, sizeof(GUID)) == 0) {
    size_t k = index;
    for (size_t d = first; d < last; ++d) {
      if (k < s->devices[d].interfaces.size()) {
        itf->InterfaceClassGuid = *guid;
        itf->Flags = SPINT_ACTIVE;
        itf->Reserved = ((d + 1) << 16) | k;
        return TRUE;
      }
      k -= s->devices[d].interfaces.size();
    }
  }
  SetLastError(ERROR_NO_MORE_ITEMS);
  return FALSE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA itf,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                             PDWORD required, PSP_DEVINFO_DATA devinfo) {
  DevInfoSet* s = lookup(h);
  if (!s) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  size_t d, k;
  if (!interface_of(s, itf, &d, &k)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::u16string& path = s->devices[d].interfaces[k];
  DWORD need =
      DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(WCHAR));
  if (required) *required = need;
  if (!detail) {
    SetLastError(size ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // Source: "SetupDiGetDeviceInterfaceDetailW function (setupapi.h)": at least offsetof(DevicePath)
  // + sizeof(TCHAR), and cbSize set to sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA); the error codes are
  // our own choice.
  // A buffer must hold at least the fixed part and one terminating code
  // unit; a smaller one is not read (not even its cbSize).
  if (size < offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + sizeof(WCHAR) ||
      detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (size < need) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (devinfo) {
    if (devinfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    fill_devinfo(devinfo, d);
  }
  std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO h) {
  win32::Object* set = win32::handle_table().remove(h, win32::Kind::DevInfoSet);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  delete set;
  return TRUE;
}

}  // extern "C"
