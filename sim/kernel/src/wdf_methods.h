// The KMDF methods the stand-in implements, for its own sources: each one's
// implementation is named KorvelWdf_<method> and declared with the type of
// Microsoft's function-table entry less the driver globals, so that a
// definition whose parameters or result differ from Microsoft's does not
// compile; sim/kernel/src/wdf_table.cpp puts them into the function table.
// Included after Microsoft's headers (by wdf_internal.h): from here on a
// stand-in source that names a method calls the implementation itself.
#ifndef KORVEL_SIM_KERNEL_WDF_METHODS_H
#define KORVEL_SIM_KERNEL_WDF_METHODS_H

#include <wdf.h>
#include <wdfminiport.h>
#include <wdfusb.h>

// X(method, type of its function-table entry)
#define KORVEL_WDF_METHODS(X)                                                                       \
  X(WdfCollectionAdd, PFN_WDFCOLLECTIONADD)                                                         \
  X(WdfCollectionCreate, PFN_WDFCOLLECTIONCREATE)                                                   \
  X(WdfCollectionGetCount, PFN_WDFCOLLECTIONGETCOUNT)                                               \
  X(WdfCollectionGetFirstItem, PFN_WDFCOLLECTIONGETFIRSTITEM)                                       \
  X(WdfCollectionGetItem, PFN_WDFCOLLECTIONGETITEM)                                                 \
  X(WdfCollectionGetLastItem, PFN_WDFCOLLECTIONGETLASTITEM)                                         \
  X(WdfCollectionRemove, PFN_WDFCOLLECTIONREMOVE)                                                   \
  X(WdfCollectionRemoveItem, PFN_WDFCOLLECTIONREMOVEITEM)                                           \
  X(WdfDeviceMiniportCreate, PFN_WDFDEVICEMINIPORTCREATE)                                           \
  X(WdfDeviceWdmGetDeviceObject, PFN_WDFDEVICEWDMGETDEVICEOBJECT)                                   \
  X(WdfDriverCreate, PFN_WDFDRIVERCREATE)                                                           \
  X(WdfDriverMiniportUnload, PFN_WDFDRIVERMINIPORTUNLOAD)                                           \
  X(WdfDriverWdmGetDriverObject, PFN_WDFDRIVERWDMGETDRIVEROBJECT)                                   \
  X(WdfIoTargetStart, PFN_WDFIOTARGETSTART)                                                         \
  X(WdfIoTargetStop, PFN_WDFIOTARGETSTOP)                                                           \
  X(WdfMemoryCreate, PFN_WDFMEMORYCREATE)                                                           \
  X(WdfMemoryGetBuffer, PFN_WDFMEMORYGETBUFFER)                                                     \
  X(WdfObjectAllocateContext, PFN_WDFOBJECTALLOCATECONTEXT)                                         \
  X(WdfObjectCreate, PFN_WDFOBJECTCREATE)                                                           \
  X(WdfObjectDelete, PFN_WDFOBJECTDELETE)                                                           \
  X(WdfObjectGetTypedContextWorker, PFN_WDFOBJECTGETTYPEDCONTEXTWORKER)                             \
  X(WdfRequestCreate, PFN_WDFREQUESTCREATE)                                                         \
  X(WdfRequestGetStatus, PFN_WDFREQUESTGETSTATUS)                                                   \
  X(WdfRequestReuse, PFN_WDFREQUESTREUSE)                                                           \
  X(WdfRequestSend, PFN_WDFREQUESTSEND)                                                             \
  X(WdfRequestSetCompletionRoutine, PFN_WDFREQUESTSETCOMPLETIONROUTINE)                             \
  X(WdfSpinLockAcquire, PFN_WDFSPINLOCKACQUIRE)                                                     \
  X(WdfSpinLockCreate, PFN_WDFSPINLOCKCREATE)                                                       \
  X(WdfSpinLockRelease, PFN_WDFSPINLOCKRELEASE)                                                     \
  X(WdfUsbInterfaceGetConfiguredPipe, PFN_WDFUSBINTERFACEGETCONFIGUREDPIPE)                         \
  X(WdfUsbInterfaceGetConfiguredSettingIndex, PFN_WDFUSBINTERFACEGETCONFIGUREDSETTINGINDEX)         \
  X(WdfUsbInterfaceGetInterfaceNumber, PFN_WDFUSBINTERFACEGETINTERFACENUMBER)                       \
  X(WdfUsbInterfaceGetNumConfiguredPipes, PFN_WDFUSBINTERFACEGETNUMCONFIGUREDPIPES)                 \
  X(WdfUsbInterfaceGetNumSettings, PFN_WDFUSBINTERFACEGETNUMSETTINGS)                               \
  X(WdfUsbInterfaceSelectSetting, PFN_WDFUSBINTERFACESELECTSETTING)                                 \
  X(WdfUsbTargetDeviceCreate, PFN_WDFUSBTARGETDEVICECREATE)                                         \
  X(WdfUsbTargetDeviceCreateIsochUrb, PFN_WDFUSBTARGETDEVICECREATEISOCHURB)                         \
  X(WdfUsbTargetDeviceCreateWithParameters, PFN_WDFUSBTARGETDEVICECREATEWITHPARAMETERS)             \
  X(WdfUsbTargetDeviceGetDeviceDescriptor, PFN_WDFUSBTARGETDEVICEGETDEVICEDESCRIPTOR)               \
  X(WdfUsbTargetDeviceGetInterface, PFN_WDFUSBTARGETDEVICEGETINTERFACE)                             \
  X(WdfUsbTargetDeviceGetNumInterfaces, PFN_WDFUSBTARGETDEVICEGETNUMINTERFACES)                     \
  X(WdfUsbTargetDeviceIsConnectedSynchronous, PFN_WDFUSBTARGETDEVICEISCONNECTEDSYNCHRONOUS)         \
  X(WdfUsbTargetDeviceRetrieveConfigDescriptor, PFN_WDFUSBTARGETDEVICERETRIEVECONFIGDESCRIPTOR)     \
  X(WdfUsbTargetDeviceRetrieveCurrentFrameNumber, PFN_WDFUSBTARGETDEVICERETRIEVECURRENTFRAMENUMBER) \
  X(WdfUsbTargetDeviceRetrieveInformation, PFN_WDFUSBTARGETDEVICERETRIEVEINFORMATION)               \
  X(WdfUsbTargetDeviceSelectConfig, PFN_WDFUSBTARGETDEVICESELECTCONFIG)                             \
  X(WdfUsbTargetDeviceSendControlTransferSynchronously,                                             \
    PFN_WDFUSBTARGETDEVICESENDCONTROLTRANSFERSYNCHRONOUSLY)                                         \
  X(WdfUsbTargetPipeAbortSynchronously, PFN_WDFUSBTARGETPIPEABORTSYNCHRONOUSLY)                     \
  X(WdfUsbTargetPipeFormatRequestForUrb, PFN_WDFUSBTARGETPIPEFORMATREQUESTFORURB)                   \
  X(WdfUsbTargetPipeGetInformation, PFN_WDFUSBTARGETPIPEGETINFORMATION)                             \
  X(WdfUsbTargetPipeWdmGetPipeHandle, PFN_WDFUSBTARGETPIPEWDMGETPIPEHANDLE)                         \
  X(WdfWaitLockAcquire, PFN_WDFWAITLOCKACQUIRE)                                                     \
  X(WdfWaitLockCreate, PFN_WDFWAITLOCKCREATE)                                                       \
  X(WdfWaitLockRelease, PFN_WDFWAITLOCKRELEASE)

namespace korvel::sim::wdf {
// The function type of a table entry without its first parameter, the
// driver globals.
template <typename T>
struct WithoutGlobals;
template <typename R, typename... A>
struct WithoutGlobals<R (*)(PWDF_DRIVER_GLOBALS, A...)> {
  using type = R(A...);
};
}  // namespace korvel::sim::wdf

#define KORVEL_WDF_DECLARE(method, entry) \
  extern "C" korvel::sim::wdf::WithoutGlobals<entry>::type KorvelWdf_##method;
KORVEL_WDF_METHODS(KORVEL_WDF_DECLARE)
#undef KORVEL_WDF_DECLARE

// Methods that Microsoft's headers implement inline (from the driver globals,
// or as a cast of the handle), which the stand-in has as functions too.
extern "C" WDFDRIVER KorvelWdf_WdfGetDriver(void);
extern "C" WDFIOTARGET KorvelWdf_WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe);

// Each name the implementation instead of the header's inline function.
#define WdfCollectionAdd KorvelWdf_WdfCollectionAdd
#define WdfCollectionCreate KorvelWdf_WdfCollectionCreate
#define WdfCollectionGetCount KorvelWdf_WdfCollectionGetCount
#define WdfCollectionGetFirstItem KorvelWdf_WdfCollectionGetFirstItem
#define WdfCollectionGetItem KorvelWdf_WdfCollectionGetItem
#define WdfCollectionGetLastItem KorvelWdf_WdfCollectionGetLastItem
#define WdfCollectionRemove KorvelWdf_WdfCollectionRemove
#define WdfCollectionRemoveItem KorvelWdf_WdfCollectionRemoveItem
#define WdfDeviceMiniportCreate KorvelWdf_WdfDeviceMiniportCreate
#define WdfDeviceWdmGetDeviceObject KorvelWdf_WdfDeviceWdmGetDeviceObject
#define WdfDriverCreate KorvelWdf_WdfDriverCreate
#define WdfDriverMiniportUnload KorvelWdf_WdfDriverMiniportUnload
#define WdfDriverWdmGetDriverObject KorvelWdf_WdfDriverWdmGetDriverObject
#define WdfGetDriver KorvelWdf_WdfGetDriver
#define WdfIoTargetStart KorvelWdf_WdfIoTargetStart
#define WdfIoTargetStop KorvelWdf_WdfIoTargetStop
#define WdfMemoryCreate KorvelWdf_WdfMemoryCreate
#define WdfMemoryGetBuffer KorvelWdf_WdfMemoryGetBuffer
#define WdfObjectAllocateContext KorvelWdf_WdfObjectAllocateContext
#define WdfObjectCreate KorvelWdf_WdfObjectCreate
#define WdfObjectDelete KorvelWdf_WdfObjectDelete
#define WdfObjectGetTypedContextWorker KorvelWdf_WdfObjectGetTypedContextWorker
#define WdfRequestCreate KorvelWdf_WdfRequestCreate
#define WdfRequestGetStatus KorvelWdf_WdfRequestGetStatus
#define WdfRequestReuse KorvelWdf_WdfRequestReuse
#define WdfRequestSend KorvelWdf_WdfRequestSend
#define WdfRequestSetCompletionRoutine KorvelWdf_WdfRequestSetCompletionRoutine
#define WdfSpinLockAcquire KorvelWdf_WdfSpinLockAcquire
#define WdfSpinLockCreate KorvelWdf_WdfSpinLockCreate
#define WdfSpinLockRelease KorvelWdf_WdfSpinLockRelease
#define WdfUsbInterfaceGetConfiguredPipe KorvelWdf_WdfUsbInterfaceGetConfiguredPipe
#define WdfUsbInterfaceGetConfiguredSettingIndex KorvelWdf_WdfUsbInterfaceGetConfiguredSettingIndex
#define WdfUsbInterfaceGetInterfaceNumber KorvelWdf_WdfUsbInterfaceGetInterfaceNumber
#define WdfUsbInterfaceGetNumConfiguredPipes KorvelWdf_WdfUsbInterfaceGetNumConfiguredPipes
#define WdfUsbInterfaceGetNumSettings KorvelWdf_WdfUsbInterfaceGetNumSettings
#define WdfUsbInterfaceSelectSetting KorvelWdf_WdfUsbInterfaceSelectSetting
#define WdfUsbTargetDeviceCreate KorvelWdf_WdfUsbTargetDeviceCreate
#define WdfUsbTargetDeviceCreateIsochUrb KorvelWdf_WdfUsbTargetDeviceCreateIsochUrb
#define WdfUsbTargetDeviceCreateWithParameters KorvelWdf_WdfUsbTargetDeviceCreateWithParameters
#define WdfUsbTargetDeviceGetDeviceDescriptor KorvelWdf_WdfUsbTargetDeviceGetDeviceDescriptor
#define WdfUsbTargetDeviceGetInterface KorvelWdf_WdfUsbTargetDeviceGetInterface
#define WdfUsbTargetDeviceGetNumInterfaces KorvelWdf_WdfUsbTargetDeviceGetNumInterfaces
#define WdfUsbTargetDeviceIsConnectedSynchronous KorvelWdf_WdfUsbTargetDeviceIsConnectedSynchronous
#define WdfUsbTargetDeviceRetrieveConfigDescriptor KorvelWdf_WdfUsbTargetDeviceRetrieveConfigDescriptor
#define WdfUsbTargetDeviceRetrieveCurrentFrameNumber KorvelWdf_WdfUsbTargetDeviceRetrieveCurrentFrameNumber
#define WdfUsbTargetDeviceRetrieveInformation KorvelWdf_WdfUsbTargetDeviceRetrieveInformation
#define WdfUsbTargetDeviceSelectConfig KorvelWdf_WdfUsbTargetDeviceSelectConfig
#define WdfUsbTargetDeviceSendControlTransferSynchronously \
  KorvelWdf_WdfUsbTargetDeviceSendControlTransferSynchronously
#define WdfUsbTargetPipeAbortSynchronously KorvelWdf_WdfUsbTargetPipeAbortSynchronously
#define WdfUsbTargetPipeFormatRequestForUrb KorvelWdf_WdfUsbTargetPipeFormatRequestForUrb
#define WdfUsbTargetPipeGetInformation KorvelWdf_WdfUsbTargetPipeGetInformation
#define WdfUsbTargetPipeGetIoTarget KorvelWdf_WdfUsbTargetPipeGetIoTarget
#define WdfUsbTargetPipeWdmGetPipeHandle KorvelWdf_WdfUsbTargetPipeWdmGetPipeHandle
#define WdfWaitLockAcquire KorvelWdf_WdfWaitLockAcquire
#define WdfWaitLockCreate KorvelWdf_WdfWaitLockCreate
#define WdfWaitLockRelease KorvelWdf_WdfWaitLockRelease

#endif
