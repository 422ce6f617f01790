// The framework's side of Microsoft's KMDF headers: the function table that
// every inline method of the headers calls through (WdfFunctions), the
// driver globals they pass first (WdfDriverGlobals), and the miniport unload
// entry (WdfDriverMiniportUnloadOverride). On Windows the loader stub linked
// into the driver binds these to the framework; here they lead to the
// stand-in's methods (wdf_methods.h).
//
// As strict as the real framework, or stricter: a method the stand-in does
// not implement, or one called with other driver globals than the driver's,
// fails the test (the real table of a KMDF 1.11 driver has no entry past
// 1.11's methods: "KMDF Version History"; the globals are the driver's own:
// "Framework Library Versioning").
#include <wdf.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

#include "kernel/verifier.h"
#include "wdf_internal.h"

namespace {

WDF_DRIVER_GLOBALS g_globals = {};

void CheckGlobals(PWDF_DRIVER_GLOBALS globals, const char* method) {
  if (globals != &g_globals) {
    korvel::sim::verifier::fail(std::string(method) +
                                " called with driver globals that are not the driver's");
  }
}

// A table entry: drops the driver globals and calls the stand-in's method.
template <typename T, T Method>
struct Entry;
template <typename R, typename... A, R (*Method)(A...)>
struct Entry<R (*)(A...), Method> {
  template <const char* Name>
  static R Call(PWDF_DRIVER_GLOBALS globals, A... args) {
    CheckGlobals(globals, Name);
    return Method(args...);
  }
};

#define KORVEL_WDF_NAME(method, entry) constexpr char k##method[] = #method;
KORVEL_WDF_METHODS(KORVEL_WDF_NAME)
#undef KORVEL_WDF_NAME

// Every index without a method of the stand-in.
template <size_t Index>
void Unimplemented() {
  char what[160];
  std::snprintf(what, sizeof what,
                "the driver called KMDF method %zu of the function table (wdffuncenum.h), "
                "which the kernel stand-in does not implement",
                Index);
  korvel::sim::verifier::fail(what);
}

template <size_t... I>
void FillUnimplemented(WDFFUNC* table, std::index_sequence<I...>) {
  const WDFFUNC entries[] = {reinterpret_cast<WDFFUNC>(&Unimplemented<I>)...};
  std::copy(std::begin(entries), std::end(entries), table);
}

// WdfDriverCreate and WdfDriverMiniportUnload also keep the globals' Driver,
// which the headers' WdfGetDriver returns.
NTSTATUS DriverCreate(PWDF_DRIVER_GLOBALS globals, PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                      PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                      WDFDRIVER* Driver) {
  CheckGlobals(globals, "WdfDriverCreate");
  NTSTATUS status =
      KorvelWdf_WdfDriverCreate(DriverObject, RegistryPath, DriverAttributes, DriverConfig, Driver);
  g_globals.Driver = KorvelWdf_WdfGetDriver();
  if (NT_SUCCESS(status) && DriverConfig != nullptr) g_globals.DriverTag = DriverConfig->DriverPoolTag;
  return status;
}

void DriverMiniportUnload(PWDF_DRIVER_GLOBALS globals, WDFDRIVER Driver) {
  CheckGlobals(globals, "WdfDriverMiniportUnload");
  KorvelWdf_WdfDriverMiniportUnload(Driver);
  g_globals.Driver = KorvelWdf_WdfGetDriver();
}

const WDFFUNC* BuildTable() {
  static WDFFUNC table[WdfFunctionTableNumEntries];
  FillUnimplemented(table, std::make_index_sequence<WdfFunctionTableNumEntries>());
#define KORVEL_WDF_ENTRY(method, entry)                  \
  table[method##TableIndex] = reinterpret_cast<WDFFUNC>( \
      &Entry<decltype(&KorvelWdf_##method), &KorvelWdf_##method>::Call<k##method>);
  KORVEL_WDF_METHODS(KORVEL_WDF_ENTRY)
#undef KORVEL_WDF_ENTRY
  table[WdfDriverCreateTableIndex] = reinterpret_cast<WDFFUNC>(&DriverCreate);
  table[WdfDriverMiniportUnloadTableIndex] = reinterpret_cast<WDFFUNC>(&DriverMiniportUnload);
  return table;
}

}  // namespace

extern "C" {
PWDF_DRIVER_GLOBALS WdfDriverGlobals = &g_globals;
const WDFFUNC* WdfFunctions = BuildTable();
WDFFUNC WdfDriverMiniportUnloadOverride = reinterpret_cast<WDFFUNC>(&DriverMiniportUnload);
}
