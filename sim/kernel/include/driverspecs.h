// User-mode stand-in for <driverspecs.h> and the SAL annotations it brings
// (<sal.h>): the annotations Microsoft's KMDF headers carry, for the code
// analysis of the WDK, which this build does not run; each means nothing
// here.
// Source: the WDK's driverspecs.h and sal.h for the names; that they expand to nothing is our own choice.
#ifndef KORVEL_SIM_DRIVERSPECS_H
#define KORVEL_SIM_DRIVERSPECS_H

#define _Acquires_lock_(...)
#define _Always_(...)
#define _Analysis_mode_(...)
#define _Curr_
#define _Deref_out_range_(...)
// The major functions a dispatch routine serves. Source: driverspecs.h (WDK).
#define _Dispatch_type_(...)
#define _Function_class_(...)
#define _IRQL_raises_(...)
#define _IRQL_requires_(...)
#define _IRQL_requires_max_(...)
#define _IRQL_requires_min_(...)
#define _IRQL_requires_same_
#define _IRQL_restores_
#define _IRQL_saves_
#define _In_
#define _In_opt_
#define _In_reads_(...)
#define _In_reads_bytes_(...)
#define _In_reads_bytes_opt_(...)
#define _In_z_
#define _Inexpressible_(...)
#define _Inout_
#define _Inout_opt_
#define _Inout_updates_bytes_(...)
#define _Must_inspect_result_
#define _Out_
#define _Out_opt_
#define _Out_writes_bytes_(...)
#define _Out_writes_bytes_all_(...)
#define _Out_writes_bytes_all_opt_(...)
#define _Out_writes_bytes_opt_(...)
#define _Out_writes_bytes_to_(...)
#define _Out_writes_bytes_to_opt_(...)
#define _Out_writes_opt_(...)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_opt_result_bytebuffer_(...)
#define _Outptr_result_bytebuffer_(...)
#define _Outptr_result_bytebuffer_maybenull_(...)
#define _Post_satisfies_(...)
#define _Pre_notnull_
#define _Pre_writable_byte_size_(...)
#define _Releases_lock_(...)
#define _Requires_lock_held_(...)
#define _Requires_lock_not_held_(...)
#define _Strict_type_match_
#define _Success_(...)
// The definition of a function takes the annotations of its declaration.
// Source: sal.h (Windows SDK).
#define _Use_decl_annotations_
#define _When_(...)
#define __drv_aliasesMem
#define __drv_reportError(...)

#endif
