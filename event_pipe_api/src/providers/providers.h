#pragma once

// The providers the decoder knows and, for each, the events it dispatches:
// key (event id << 16 | version), payload format and name, in a fixed order.

#include "event_pipe_api/src/providers/formats.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>

namespace tarnwell::collector {

constexpr std::uint32_t event_key(std::uint16_t id, std::uint8_t version) noexcept {
  return (std::uint32_t{id} << 16) | version;
}

template <std::uint32_t Key, class Format>
struct event_def {
  static constexpr std::uint32_t key = Key;
  using format = Format;
};

template <class... E>
struct event_list {
  static constexpr std::size_t size = sizeof...(E);
  static constexpr std::array<std::uint32_t, sizeof...(E)> keys{E::key...};
  template <std::size_t N>
  using format = typename std::tuple_element_t<N, std::tuple<E...>>::format;

  // The index of key, or size when the provider does not dispatch it.
  static constexpr std::size_t index_of(std::uint32_t key) noexcept {
    for (std::size_t i = 0; i < keys.size(); ++i)
      if (keys[i] == key) return i;
    return sizeof...(E);
  }
};

namespace f = formats;

struct Microsoft_Windows_DotNETRuntime {
  static constexpr std::string_view name = "Microsoft-Windows-DotNETRuntime";
  using events = event_list<
      event_def<0x10001, f::GCStart_V1>, event_def<0x10002, f::GCStart_V2>,
      event_def<0xa0000, f::GCAllocationTick>, event_def<0xa0001, f::GCAllocationTick_V1>,
      event_def<0xa0002, f::GCAllocationTick_V2>, event_def<0xa0003, f::GCAllocationTick_V3>,
      event_def<0xa0004, f::GCAllocationTick_V4>, event_def<0xe0001, f::GCNoUserData>,
      event_def<0x8d0000, f::MethodLoadUnload>, event_def<0x8d0001, f::MethodLoadUnload_V1>,
      event_def<0x8d0002, f::MethodLoadUnload_V2>, event_def<0x8e0000, f::MethodLoadUnload>,
      event_def<0x8f0000, f::MethodLoadUnloadVerbose>, event_def<0x8f0001, f::MethodLoadUnloadVerbose_V1>,
      event_def<0x8f0002, f::MethodLoadUnloadVerbose_V2>, event_def<0x910000, f::MethodJittingStarted>,
      event_def<0x910001, f::MethodJittingStarted_V1>, event_def<0x980000, f::ModuleLoadUnload>,
      event_def<0x980001, f::ModuleLoadUnload_V1>, event_def<0x980002, f::ModuleLoadUnload_V2>,
      event_def<0x980003, f::ModuleLoadUnload_V3>, event_def<0x990000, f::ModuleLoadUnload>,
      event_def<0xbb0000, f::RuntimeInformation>, event_def<0xbe0000, f::MethodILToNativeMap>,
      event_def<0xbe0001, f::MethodILToNativeMap_V1>, event_def<0x20000, f::GCEnd>, event_def<0x20001, f::GCEnd_V1>,
      event_def<0xf00000, f::NoFields>, event_def<0xf10000, f::NoFields>, event_def<0xf20000, f::NoFields>,
      event_def<0xf30000, f::NoFields>, event_def<0x30001, f::GCNoUserData>, event_def<0x40000, f::GCHeapStats>,
      event_def<0x40001, f::GCHeapStats_V1>, event_def<0x40002, f::GCHeapStats_V2>,
      event_def<0x500001, f::Exception>, event_def<0x510001, f::Contention>,
      event_def<0x510002, f::ContentionStart_V2>, event_def<0x520000, f::ClrStackWalk>,
      event_def<0x550000, f::ThreadCreated>, event_def<0x90000, f::GCSuspendEE>,
      event_def<0x90001, f::GCSuspendEE_V1>, event_def<0x5b0000, f::Contention>,
      event_def<0x5b0001, f::ContentionStop_V1>>;
  static constexpr std::array<const char*, events::size> event_names{
      "GarbageCollection_Start_1_v1", "GarbageCollection_Start_1_v2", "GarbageCollection_GCAllocationTick_10_v0",
      "GarbageCollection_GCAllocationTick_10_v1", "GarbageCollection_GCAllocationTick_10_v2",
      "GarbageCollection_GCAllocationTick_10_v3", "GarbageCollection_GCAllocationTick_10_v4",
      "GarbageCollection_GCFinalizersBegin_14_v1", "CLRMethod_MethodLoad_141_v0", "CLRMethod_MethodLoad_141_v1",
      "CLRMethod_MethodLoad_141_v2", "CLRMethod_MethodUnload_142_v0", "CLRMethod_MethodLoadVerbose_143_v0",
      "CLRMethod_MethodLoadVerbose_143_v1", "CLRMethod_MethodLoadVerbose_143_v2",
      "CLRMethod_MethodJittingStarted_145_v0", "CLRMethod_MethodJittingStarted_145_v1",
      "CLRLoader_ModuleLoad_152_v0", "CLRLoader_ModuleLoad_152_v1", "CLRLoader_ModuleLoad_152_v2",
      "CLRLoader_ModuleLoad_152_v3", "CLRLoader_ModuleUnload_153_v0", "CLRRuntimeInformation_Start_187_v0",
      "CLRMethod_MethodILToNativeMap_190_v0", "CLRMethod_MethodILToNativeMap_190_v1", "GarbageCollection_Stop_2_v0",
      "GarbageCollection_Stop_2_v1", "DebugIPCEvent_Start_240_v0", "DebugIPCEvent_Stop_241_v0",
      "DebugExceptionProcessing_Start_242_v0", "DebugExceptionProcessing_Stop_243_v0",
      "GarbageCollection_GCRestartEEEnd_3_v1", "GarbageCollection_GCHeapStats_4_v0",
      "GarbageCollection_GCHeapStats_4_v1", "GarbageCollection_GCHeapStats_4_v2", "Exception_Start_80_v1",
      "Contention_Start_81_v1", "Contention_Start_81_v2", "CLRStack_CLRStackWalk_82_v0",
      "AppDomainResourceManagement_ThreadCreated_85_v0", "GarbageCollection_GCSuspendEEBegin_9_v0",
      "GarbageCollection_GCSuspendEEBegin_9_v1", "Contention_Stop_91_v0", "Contention_Stop_91_v1"};
  static constexpr std::array<const char*, events::size> format_names{
      "GCStart_V1", "GCStart_V2", "GCAllocationTick", "GCAllocationTick_V1", "GCAllocationTick_V2",
      "GCAllocationTick_V3", "GCAllocationTick_V4", "GCNoUserData", "MethodLoadUnload", "MethodLoadUnload_V1",
      "MethodLoadUnload_V2", "MethodLoadUnload", "MethodLoadUnloadVerbose", "MethodLoadUnloadVerbose_V1",
      "MethodLoadUnloadVerbose_V2", "MethodJittingStarted", "MethodJittingStarted_V1", "ModuleLoadUnload",
      "ModuleLoadUnload_V1", "ModuleLoadUnload_V2", "ModuleLoadUnload_V3", "ModuleLoadUnload", "RuntimeInformation",
      "MethodILToNativeMap", "MethodILToNativeMap_V1", "GCEnd", "GCEnd_V1", "DebugIPCEvent_Start",
      "DebugIPCEvent_Stop", "DebugExceptionProcessing_Start", "DebugExceptionProcessing_Stop", "GCNoUserData",
      "GCHeapStats", "GCHeapStats_V1", "GCHeapStats_V2", "Exception", "Contention", "ContentionStart_V2",
      "ClrStackWalk", "ThreadCreated", "GCSuspendEE", "GCSuspendEE_V1", "Contention", "ContentionStop_V1"};
};

struct Microsoft_Windows_DotNETRuntimeRundown {
  static constexpr std::string_view name = "Microsoft-Windows-DotNETRuntimeRundown";
  using events = event_list<
      event_def<event_key(143, 0), f::MethodLoadUnloadRundownVerbose>,
      event_def<event_key(143, 1), f::MethodLoadUnloadRundownVerbose_V1>,
      event_def<event_key(143, 2), f::MethodLoadUnloadRundownVerbose_V2>,
      event_def<event_key(144, 0), f::MethodLoadUnloadRundownVerbose>,
      event_def<event_key(144, 1), f::MethodLoadUnloadRundownVerbose_V1>,
      event_def<event_key(144, 2), f::MethodLoadUnloadRundownVerbose_V2>, event_def<event_key(145, 1), f::NoFields>,
      event_def<event_key(146, 1), f::NoFields>, event_def<event_key(147, 1), f::NoFields>,
      event_def<event_key(148, 1), f::NoFields>, event_def<event_key(149, 0), f::NoFields>,
      event_def<event_key(149, 1), f::NoFields>, event_def<event_key(150, 0), f::NoFields>,
      event_def<event_key(150, 1), f::NoFields>, event_def<event_key(153, 0), f::ModuleLoadUnloadRundown>,
      event_def<event_key(153, 1), f::ModuleLoadUnloadRundown_V1>,
      event_def<event_key(153, 2), f::ModuleLoadUnloadRundown_V2>,
      event_def<event_key(154, 0), f::ModuleLoadUnloadRundown>,
      event_def<event_key(154, 1), f::ModuleLoadUnloadRundown_V1>,
      event_def<event_key(154, 2), f::ModuleLoadUnloadRundown_V2>,
      event_def<event_key(154, 3), f::ModuleLoadUnloadRundown_V3>, event_def<event_key(159, 0), f::NoFields>,
      event_def<event_key(187, 0), f::RuntimeInformationRundown>>;
  static constexpr std::array<const char*, events::size> event_names{
      "MethodDCStartVerbose", "MethodDCStartVerbose_V1", "MethodDCStartVerbose_V2", "MethodDCEndVerbose",
      "MethodDCEndVerbose_V1", "MethodDCEndVerbose_V2", "DCStartComplete_V1", "DCEndComplete_V1", "DCStartInit_V1",
      "DCEndInit_V1", "MethodDCStartILToNativeMap", "MethodDCStartILToNativeMap_V1", "MethodDCEndILToNativeMap",
      "MethodDCEndILToNativeMap_V1", "ModuleDCStart", "ModuleDCStart_V1", "ModuleDCStart_V2", "ModuleDCEnd",
      "ModuleDCEnd_V1", "ModuleDCEnd_V2", "ModuleDCEnd_V3", "ThreadDC", "RuntimeInformationDCStart"};
};

struct Microsoft_DotNETCore_EventPipe {
  static constexpr std::string_view name = "Microsoft-DotNETCore-EventPipe";
  using events = event_list<event_def<0x10000, f::ProcessInfo_0>, event_def<0x10001, f::ProcessInfo_1>>;
  static constexpr std::array<const char*, events::size> event_names{"ProcessInfo_1_v0", "ProcessInfo_1_v1"};
};

struct Microsoft_DotNETCore_SampleProfiler {
  static constexpr std::string_view name = "Microsoft-DotNETCore-SampleProfiler";
  using events = event_list<event_def<0x0, f::ThreadSample>>;
  static constexpr std::array<const char*, events::size> event_names{"ThreadSample_0_v0"};
};

struct Microsoft_Data_SqlClient_EventSource {
  static constexpr std::string_view name = "Microsoft.Data.SqlClient.EventSource";
  using events = event_list<event_def<0x110000, f::CorrelationTraceArgs>, event_def<0x30000, f::TraceArgs>,
                            event_def<0x40000, f::ScopeEnterArgs>, event_def<0x50000, f::ScopeLeaveArgs>,
                            event_def<0x90000, f::PoolerScopeEnterArgs>>;
  static constexpr std::array<const char*, events::size> event_names{
      "CorrelationTrace_17_v0", "Trace_3_v0", "Scope_Start_4_v0", "Scope_Stop_5_v0", "PoolerScope_Start_9_v0"};
  static constexpr std::array<const char*, events::size> format_names{
      "CorrelationTraceArgs", "TraceArgs", "ScopeEnterArgs", "ScopeLeaveArgs", "PoolerScopeEnterArgs"};
};

struct Microsoft_AspNetCore_Server_Kestrel {
  static constexpr std::string_view name = "Microsoft-AspNetCore-Server-Kestrel";
  using events = event_list<event_def<0x10000, f::ConnectionStartArgs>, event_def<0x20000, f::ConnectionStopArgs>,
                            event_def<0x30000, f::RequestStartArgs>, event_def<0x40000, f::RequestStopArgs>>;
  static constexpr std::array<const char*, events::size> event_names{
      "Connection_Start_1_v0", "ConnectionStop_Stop_2_v0", "Request_Start_3_v0", "RequestStop_Stop_4_v0"};
  static constexpr std::array<const char*, events::size> format_names{"ConnectionStartArgs", "ConnectionStopArgs",
                                                                      "RequestStartArgs", "RequestStopArgs"};
};

struct System_Threading_Tasks_TplEventSource {
  static constexpr std::string_view name = "System.Threading.Tasks.TplEventSource";
  using events =
      event_list<event_def<0xa0003, f::TaskWaitBeginArgs>, event_def<0xe0001, f::TraceOperationBeginArgs>,
                 event_def<0xf0001, f::TraceOperationEndArgs>, event_def<0x110001, f::TraceSynchronousWorkBeginArgs>,
                 event_def<0x120001, f::TraceSynchronousWorkEndArgs>, event_def<0x70001, f::TaskScheduledArgs>>;
  static constexpr std::array<const char*, events::size> event_names{
      "TaskWait_Send_10_v3",          "TraceOperationBegin_14_v1",     "TraceOperationEnd_15_v1",
      "TraceSynchronousWorkBegin_17_v1", "TraceSynchronousWorkEnd_18_v1", "TaskScheduled_Send_7_v1"};
  static constexpr std::array<const char*, events::size> format_names{
      "TaskWaitBeginArgs",          "TraceOperationBeginArgs",     "TraceOperationEndArgs",
      "TraceSynchronousWorkBeginArgs", "TraceSynchronousWorkEndArgs", "TaskScheduledArgs"};
};

// The collector's own providers, written into snapshots and never read.
struct ProfilerSessionDataProvider {
  static constexpr std::string_view name = "ProfilerSessionDataProvider";
};
struct SampleProvider {
  static constexpr std::string_view name = "SampleProvider";
};

template <class... P>
struct provider_list {};

// What the runtime session routes, in order, with and without task events.
using runtime_session_providers =
    provider_list<Microsoft_Windows_DotNETRuntime, Microsoft_DotNETCore_EventPipe, Microsoft_DotNETCore_SampleProfiler,
                  Microsoft_Data_SqlClient_EventSource, Microsoft_AspNetCore_Server_Kestrel,
                  System_Threading_Tasks_TplEventSource>;
// Every known provider; what a recorded file is read with.
using all_providers =
    provider_list<Microsoft_Windows_DotNETRuntime, Microsoft_Windows_DotNETRuntimeRundown,
                  Microsoft_DotNETCore_EventPipe, Microsoft_DotNETCore_SampleProfiler,
                  Microsoft_Data_SqlClient_EventSource, Microsoft_AspNetCore_Server_Kestrel,
                  System_Threading_Tasks_TplEventSource>;

}  // namespace tarnwell::collector
