// The framework stand-in's object model: every WDF handle points to an
// Object; objects form a parent/child tree rooted at the driver; deleting an
// object deletes its children first. Each object and each context is pool
// memory of the driver's pool tag.
// Source: "WdfObjectDelete function (wdfobject.h)" for the tree and its deletion; wdfdriver.h:
// DriverPoolTag, the tag of all the framework's allocations for the driver.
#ifndef KORVEL_SIM_KERNEL_WDF_INTERNAL_H
#define KORVEL_SIM_KERNEL_WDF_INTERNAL_H

#include <usb.h>
#include <usbdlib.h>
#include <wdf.h>
#include <wdfminiport.h>
#include <wdfusb.h>

#include <mutex>
#include <string>
#include <vector>

#include "wdf_methods.h"

namespace korvel::sim::usb {
class Device;
}

namespace korvel::sim::wdf {

enum class Kind {
  Driver,
  Device,
  Generic,
  Memory,
  SpinLock,
  WaitLock,
  Collection,
  Request,
  UsbDevice,
  UsbInterface,
  UsbPipe,
};

struct Object {
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  Kind kind;
  Object* parent = nullptr;
  std::vector<Object*> children;
  struct Context {
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type;
    void* memory;
  };
  std::vector<Context> contexts;
  PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
  PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
};

std::recursive_mutex& tree_mutex();
ULONG driver_tag();
Object* driver_object();

// Registers a new object: parent from the attributes (or `default_parent`),
// contexts and callbacks from the attributes. Fails on invalid attributes.
NTSTATUS attach(Object* o, PWDF_OBJECT_ATTRIBUTES attributes, Object* default_parent);
// Releases an object that failed before attach().
void discard(Object* o);
// Deletes an object and its subtree.
void destroy(Object* o);

// Checks a handle; reports a verifier failure and returns null when it is not
// a live object of the expected kind.
Object* lookup(const void* handle, Kind kind, const char* api);

template <class T>
T* as(const void* handle, Kind kind, const char* api) {
  return static_cast<T*>(lookup(handle, kind, api));
}

}  // namespace korvel::sim::wdf

#endif
