#pragma once

// Payload layouts of the events the catalogue dispatches, one type per field
// in payload order. Widths follow the publishing components' definitions:
// the runtime's event manifest, and the Kestrel, SqlClient and TPL event
// sources.

#include "tw/utility/pattern_parser.h"

namespace tarnwell::collector::formats {

using namespace tw::fields;
using tw::field_list;
using str = utf16z;
using ptr = pointer;

// Microsoft-Windows-DotNETRuntime and its rundown twin.
using GCStart_V1 = field_list<u32, u32, u32, u32, u16>;
using GCStart_V2 = field_list<u32, u32, u32, u32, u16, u64>;
using GCEnd = field_list<u32, u16>;
using GCEnd_V1 = field_list<u32, u32, u16>;
using GCNoUserData = field_list<u16>;
using GCSuspendEE = field_list<u16>;
using GCSuspendEE_V1 = field_list<u32, u32, u16>;
using GCAllocationTick = field_list<u32, u32>;
using GCAllocationTick_V1 = field_list<u32, u32, u16>;
using GCAllocationTick_V2 = field_list<u32, u32, u16, u64, ptr, str, u32>;
using GCAllocationTick_V3 = field_list<u32, u32, u16, u64, ptr, str, u32, ptr>;
using GCAllocationTick_V4 = field_list<u32, u32, u16, u64, ptr, str, u32, ptr, u64>;
using GCHeapStats = field_list<u64, u64, u64, u64, u64, u64, u64, u64, u64, u64, u32, u32, u32>;
using GCHeapStats_V1 = field_list<u64, u64, u64, u64, u64, u64, u64, u64, u64, u64, u32, u32, u32, u16>;
using GCHeapStats_V2 = field_list<u64, u64, u64, u64, u64, u64, u64, u64, u64, u64, u32, u32, u32, u16, u64, u64>;
using MethodLoadUnload = field_list<u64, u64, u64, u32, u32, u32>;
using MethodLoadUnload_V1 = field_list<u64, u64, u64, u32, u32, u32, u16>;
using MethodLoadUnload_V2 = field_list<u64, u64, u64, u32, u32, u32, u16, u64>;
using MethodLoadUnloadVerbose = field_list<u64, u64, u64, u32, u32, u32, str, str, str>;
using MethodLoadUnloadVerbose_V1 = field_list<u64, u64, u64, u32, u32, u32, str, str, str, u16>;
using MethodLoadUnloadVerbose_V2 = field_list<u64, u64, u64, u32, u32, u32, str, str, str, u16, u64>;
using MethodLoadUnloadRundownVerbose = MethodLoadUnloadVerbose;
using MethodLoadUnloadRundownVerbose_V1 = MethodLoadUnloadVerbose_V1;
using MethodLoadUnloadRundownVerbose_V2 = MethodLoadUnloadVerbose_V2;
using MethodJittingStarted = field_list<u64, u64, u32, u32, str, str, str>;
using MethodJittingStarted_V1 = field_list<u64, u64, u32, u32, str, str, str, u16>;
using MethodILToNativeMap =
    field_list<u64, u64, u8, u16, counted_array<u32, 3>, counted_array<u32, 3>, u16>;
using MethodILToNativeMap_V1 =
    field_list<u64, u64, u8, u16, counted_array<u32, 3>, counted_array<u32, 3>, u16, u64>;
using ModuleLoadUnload = field_list<u64, u64, u32, u32, str, str>;
using ModuleLoadUnload_V1 = field_list<u64, u64, u32, u32, str, str, u16>;
using ModuleLoadUnload_V2 = field_list<u64, u64, u32, u32, str, str, u16, guid, u32, str, guid, u32, str>;
using ModuleLoadUnload_V3 = field_list<u64, u64, u32, u32, str, str, u16, guid, u32, str, guid, u32, str, str>;
using ModuleLoadUnloadRundown = ModuleLoadUnload;
using ModuleLoadUnloadRundown_V1 = ModuleLoadUnload_V1;
using ModuleLoadUnloadRundown_V2 = ModuleLoadUnload_V2;
using ModuleLoadUnloadRundown_V3 = ModuleLoadUnload_V3;
using RuntimeInformation = field_list<u16, u16, u16, u16, u16, u16, u16, u16, u16, u16, u32, u8, str, guid, str>;
using RuntimeInformationRundown = RuntimeInformation;
using Exception = field_list<str, str, ptr, u32, u16, u16>;
using Contention = field_list<u8, u16>;
using ContentionStart_V2 = field_list<u8, u16, ptr, ptr, u64>;
using ContentionStop_V1 = field_list<u8, u16, f64>;
using ClrStackWalk = field_list<u16, u8, u8, u32, counted_array<ptr, 3>>;
using ThreadCreated = field_list<u64, u64, u32, u32, u32, u16>;
using NoFields = field_list<>;

// Microsoft-DotNETCore-EventPipe.
using ProcessInfo_0 = field_list<str>;
using ProcessInfo_1 = field_list<str, str, str>;

// Microsoft-DotNETCore-SampleProfiler.
using ThreadSample = field_list<u32>;

// Microsoft.Data.SqlClient.EventSource: every event carries one message.
using CorrelationTraceArgs = field_list<str>;
using TraceArgs = field_list<str>;
using ScopeEnterArgs = field_list<str>;
using ScopeLeaveArgs = field_list<str>;
using PoolerScopeEnterArgs = field_list<str>;

// Microsoft-AspNetCore-Server-Kestrel.
using ConnectionStartArgs = field_list<str, str, str>;
using ConnectionStopArgs = field_list<str>;
using RequestStartArgs = field_list<str, str, str, str, str>;
using RequestStopArgs = field_list<str, str, str, str, str>;

// System.Threading.Tasks.TplEventSource.
using TaskScheduledArgs = field_list<i32, i32, i32, i32, i32>;
using TaskWaitBeginArgs = field_list<i32, i32, i32, i32, i32>;
using TraceOperationBeginArgs = field_list<i32, str, i64>;
using TraceOperationEndArgs = field_list<i32, i32>;
using TraceSynchronousWorkBeginArgs = field_list<i32, i32>;
using TraceSynchronousWorkEndArgs = field_list<i32>;

}  // namespace tarnwell::collector::formats
