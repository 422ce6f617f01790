/* usbdevs_win: device discovery through SetupAPI and the control-request
 * tunnel through the driver's private interface. */
#include "usbdevs_win.h"

#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vxwide.h"

static const char kModule[] = "../../vxtest/usbdevs_win";
#define USBDEVS_ERR() printf("%s:%d:ERROR\n", kModule, __LINE__)
/* The wide diagnostic forms; the text is ASCII, so the narrow stream carries
 * the same characters. */
#define USBDEVS_WERR() printf("ERROR : %d\n", __LINE__)

/* KSCATEGORY_RENDER {65E8773E-8F56-11D0-A3B9-00A0C9223196} */
static const GUID kRenderCategory = {
    0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

static const WCHAR kServiceName[] = VXW("tarrow");
static const WCHAR kPrivateSuffix[] = VXW("\\tarrow");
/* How often a caller waiting for the exchange lock asks again. */
static const DWORD kExchangeAskMs = 2;

static size_t wide_len(const WCHAR* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

static int wide_equal(const WCHAR* a, const WCHAR* b) {
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

static void put_le16(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}

static void put_le32(uint8_t* p, uint32_t v) {
  put_le16(p, (uint16_t)v);
  put_le16(p + 2, (uint16_t)(v >> 16));
}

static void fill_header(uint8_t* rec, uint32_t direction, uint32_t length, uint16_t wValue, uint16_t wIndex,
                        uint8_t bRequest) {
  put_le32(rec + 0, direction);
  put_le32(rec + 4, length);
  put_le16(rec + 8, USBDEVS_CTRL_REQ_CONST);
  put_le16(rec + 10, wValue);
  put_le16(rec + 12, wIndex);
  rec[14] = 0;
  rec[15] = bRequest;
}

/* Prints UTF-16 text as UTF-8. */
static void print_wide_text(const WCHAR* s) {
  for (; *s; ++s) {
    uint32_t c = *s;
    if (c >= 0xD800 && c < 0xDC00 && s[1] >= 0xDC00 && s[1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t)(s[1] - 0xDC00);
      ++s;
    }
    if (c < 0x80) {
      putchar((int)c);
    } else if (c < 0x800) {
      putchar((int)(0xC0 | (c >> 6)));
      putchar((int)(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      putchar((int)(0xE0 | (c >> 12)));
      putchar((int)(0x80 | ((c >> 6) & 0x3F)));
      putchar((int)(0x80 | (c & 0x3F)));
    } else {
      putchar((int)(0xF0 | (c >> 18)));
      putchar((int)(0x80 | ((c >> 12) & 0x3F)));
      putchar((int)(0x80 | ((c >> 6) & 0x3F)));
      putchar((int)(0x80 | (c & 0x3F)));
    }
  }
}

unsigned usbdevs_init(usbdevs_ctx* ctx) {
  memset(ctx, 0, sizeof *ctx);
  return 0;
}

unsigned usbdevs_exit(usbdevs_ctx* ctx) {
  (void)ctx;
  return 0;
}

unsigned usbdevs_select(usbdevs_ctx* ctx, usbdevs_handle* handle, uint8_t index) {
  if (index != 0) return 1;
  if (!usbdevs_find_interface(kServiceName, ctx->path, USBDEVS_PATH_MAX)) return 1;
  if (handle) *handle = ctx;
  return 0;
}

int usbdevs_find_interface(const WCHAR* service, WCHAR* path, uint32_t capacity) {
  HDEVINFO set = SetupDiGetClassDevsW(&kRenderCategory, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    USBDEVS_WERR();
    return 0;
  }
  int found = 0;
  for (DWORD dev_index = 0;; ++dev_index) {
    SP_DEVINFO_DATA dev;
    memset(&dev, 0, sizeof dev);
    dev.cbSize = sizeof dev;
    if (!SetupDiEnumDeviceInfo(set, dev_index, &dev)) break;

    /* 256 bytes, 254 offered: the last code unit always stays zero. */
    WCHAR name[128];
    memset(name, 0, sizeof name);
    if (!SetupDiGetDeviceRegistryPropertyW(set, &dev, SPDRP_SERVICE, NULL, (PBYTE)name, 254, NULL)) {
      USBDEVS_WERR();
      memset(name, 0, sizeof name);
    }
    int match = service != NULL && wide_equal(name, service);

    for (DWORD itf_index = 0;; ++itf_index) {
      SP_DEVICE_INTERFACE_DATA itf;
      memset(&itf, 0, sizeof itf);
      itf.cbSize = sizeof itf;
      if (!SetupDiEnumDeviceInterfaces(set, &dev, &kRenderCategory, itf_index, &itf)) break;
      DWORD size = 0;
      SetupDiGetDeviceInterfaceDetailW(set, &itf, NULL, 0, &size, NULL);
      if (size == 0) {
        USBDEVS_WERR();
        continue;
      }
      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_W)calloc(1, size);
      if (!detail) {
        USBDEVS_WERR();
        continue;
      }
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
      if (!SetupDiGetDeviceInterfaceDetailW(set, &itf, detail, size, NULL, NULL)) {
        USBDEVS_WERR();
      } else if (match) {
        if (path && capacity) {
          /* Bounded copy that always leaves the path terminated. */
          memset(path, 0, capacity * sizeof(WCHAR));
          size_t n = wide_len(detail->DevicePath);
          if (n > capacity - 1) n = capacity - 1;
          memcpy(path, detail->DevicePath, n * sizeof(WCHAR));
        }
        found = 1;
      }
      free(detail);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

HANDLE usbdevs_open(const WCHAR* path) {
  WCHAR local[USBDEVS_PATH_MAX];
  memset(local, 0, sizeof local);
  size_t n = wide_len(path);
  if (n > USBDEVS_PATH_MAX - 1) n = USBDEVS_PATH_MAX - 1;
  memcpy(local, path, n * sizeof(WCHAR));

  /* Replace the last component (the filter's reference string) by the
   * private interface's; a path without a backslash keeps everything. */
  for (size_t i = n; i > 0; --i) {
    if (local[i - 1] == '\\') {
      n = i - 1;
      local[n] = 0;
      break;
    }
  }
  size_t suffix = wide_len(kPrivateSuffix);
  if (n + suffix > USBDEVS_PATH_MAX - 1) {
    USBDEVS_WERR();
    return INVALID_HANDLE_VALUE;
  }
  memcpy(local + n, kPrivateSuffix, (suffix + 1) * sizeof(WCHAR));

  HANDLE file = CreateFileW(local, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    usbdevs_print_last_error();
    USBDEVS_WERR();
  }
  return file;
}

/* Prints a Windows error code and the system's text for it. */
static void print_error(DWORD error) {
  printf("GetLastError() = %#x\n", (unsigned)error);
  LPWSTR text = NULL;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
      error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPWSTR)&text, 0, NULL);
  if (n != 0 && text != NULL) print_wide_text(text);
  if (text != NULL) LocalFree(text);
}

unsigned usbdevs_ioctl(HANDLE file, void* in, uint32_t in_size, void* out, uint32_t out_size) {
  DWORD returned = 0;
  if (!DeviceIoControl(file, IOCTL_QUENBY_TUNNEL, in, in_size, out, out_size, &returned, NULL)) {
    /* Read first: the C runtime may change the thread's last error. */
    DWORD error = GetLastError();
    USBDEVS_ERR();
    print_error(error);
    return error == ERROR_GEN_FAILURE ? 2 : 1;
  }
  if (returned != out_size) {
    USBDEVS_ERR();
    return 1;
  }
  return 0;
}

unsigned usbdevs_ctrl_out(usbdevs_handle handle, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                          uint16_t length, const void* data) {
  if (length == 0) {
    USBDEVS_ERR();
    return 1;
  }
  if (data == NULL || handle == NULL) {
    USBDEVS_ERR();
    return 1;
  }
  HANDLE file = usbdevs_open(handle->path);
  if (file == INVALID_HANDLE_VALUE) {
    USBDEVS_ERR();
    return 1;
  }
  uint32_t size = USBDEVS_CTRL_REQ_HEADER + length;
  if (size < USBDEVS_CTRL_REQ_MIN) size = USBDEVS_CTRL_REQ_MIN;
  uint8_t* record = (uint8_t*)calloc(1, size);
  if (!record) {
    USBDEVS_ERR();
    CloseHandle(file);
    return 1;
  }
  memcpy(record + USBDEVS_CTRL_REQ_HEADER, data, length);
  fill_header(record, USBDEVS_DIR_HOST_TO_DEVICE, length, wValue, wIndex, bRequest);
  unsigned result = usbdevs_ioctl(file, record, size, NULL, 0);
  free(record);
  CloseHandle(file);
  return result;
}

unsigned usbdevs_ctrl_in(usbdevs_handle handle, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                         uint16_t length, void* reply) {
  if (handle == NULL) {
    USBDEVS_ERR();
    return 1;
  }
  HANDLE file = usbdevs_open(handle->path);
  if (file == INVALID_HANDLE_VALUE) return 1;
  uint8_t record[USBDEVS_CTRL_REQ_MIN];
  memset(record, 0, sizeof record);
  fill_header(record, USBDEVS_DIR_DEVICE_TO_HOST, 0, wValue, wIndex, bRequest);
  unsigned result = usbdevs_ioctl(file, record, sizeof record, reply, length);
  CloseHandle(file);
  return result;
}

uint32_t usbdevs_print_last_error(void) {
  DWORD error = GetLastError();
  print_error(error);
  return error;
}

namespace {

/* What the calling thread's last exchange found: whether it took the lock
 * over from a holder that ended inside its exchange, and who held the lock
 * when it was refused. */
struct ExchangeSeen {
  bool abandoned = false;
  bool holder_known = false;
  usbdevs_exchange_holder_t holder = {0, 0, 0};
};
thread_local ExchangeSeen t_exchange;

uint32_t get_le32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

/* One of the lock's codes; its flags, or -1 with the last error set. */
long exchange_call(HANDLE file, DWORD code, usbdevs_exchange_holder_t* holder) {
  uint8_t record[QUENBY_EXCHANGE_RECORD_SIZE];
  DWORD got = 0;
  if (!DeviceIoControl(file, code, NULL, 0, record, sizeof record, &got, NULL)) return -1;
  if (got != sizeof record) {
    SetLastError(ERROR_INVALID_DATA);
    return -1;
  }
  holder->process_id = get_le32(record + 4);
  holder->session_id = get_le32(record + 8);
  holder->held_ms = get_le32(record + 12);
  return (long)get_le32(record);
}

}  // namespace

HANDLE usbdevs_exchange_begin(usbdevs_handle handle) {
  return usbdevs_exchange_begin_within(handle, USBDEVS_EXCHANGE_WAIT_MS);
}

/* The lock is the driver's, held by the file object that took it: this
 * exchange's own handle on the private interface, open for the exchange
 * (its transfers still open one of their own each). */
HANDLE usbdevs_exchange_begin_within(usbdevs_handle handle, DWORD wait_ms) {
  t_exchange.abandoned = false;
  t_exchange.holder_known = false;
  if (handle == NULL) {
    USBDEVS_ERR();
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  HANDLE file = usbdevs_open(handle->path);
  if (file == INVALID_HANDLE_VALUE) {
    USBDEVS_ERR();
    return NULL;
  }
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    usbdevs_exchange_holder_t holder;
    const long flags = exchange_call(file, IOCTL_QUENBY_EXCHANGE_TAKE, &holder);
    if (flags < 0) {
      const DWORD error = usbdevs_print_last_error();
      CloseHandle(file);
      USBDEVS_ERR();
      SetLastError(error);
      return NULL;
    }
    if (flags & QUENBY_EXCHANGE_HELD) {
      /* The holder before ended inside its exchange and may have left part
       * of its answer queued; the caller reads that away first. */
      t_exchange.abandoned = (flags & QUENBY_EXCHANGE_TAKEN_OVER) != 0;
      return file;
    }
    t_exchange.holder = holder;
    t_exchange.holder_known = holder.process_id != 0;
    if (GetTickCount64() - start >= wait_ms) {
      CloseHandle(file);
      USBDEVS_ERR();
      /* Another program holds the unit: the caller can tell it from a unit
       * that failed, and name the holder. */
      SetLastError(ERROR_TIMEOUT);
      return NULL;
    }
    Sleep(kExchangeAskMs);
  }
}

int usbdevs_exchange_abandoned(void) {
  return t_exchange.abandoned ? 1 : 0;
}

int usbdevs_exchange_holder(usbdevs_exchange_holder_t* holder) {
  if (!t_exchange.holder_known) return 0;
  if (holder != NULL) *holder = t_exchange.holder;
  return 1;
}

int usbdevs_exchange_end(HANDLE exchange) {
  if (exchange == NULL) return 0;
  usbdevs_exchange_holder_t holder;
  const long flags = exchange_call(exchange, IOCTL_QUENBY_EXCHANGE_END, &holder);
  CloseHandle(exchange);
  return flags >= 0 && (flags & QUENBY_EXCHANGE_HELD) ? 0 : 1;
}

unsigned vxdev_init(vxdev_t* dev) {
  usbdevs_init(dev);
  return 0;
}

unsigned vxdev_reset(vxdev_t* dev) {
  usbdevs_exit(dev);
  dev->select_index = 0;
  return 0;
}

unsigned vxdev_open(vxdev_t* dev, usbdevs_handle* handle) {
  while (dev->select_index <= USBDEVS_SELECT_MAX) {
    uint8_t index = dev->select_index;
    unsigned result = usbdevs_select(dev, handle, index);
    dev->select_index = (uint8_t)(index + 1);
    if (result == 0) return 0;
  }
  return 1;
}
