#pragma once

// The methods and modules the runtime announces, as the snapshot's metadata
// takes them, from their load events (and their rundown twins).

#include "collector/src/collector/loaders/loader_net.h"
#include "event_pipe_api/src/providers/dispatched_event.h"

namespace tw_prof::netcore {

template <class Provider, std::size_t N>
tarnwell::etw_collector::callstacks::managed_method method_of(const dispatched_event<Provider, N>& e) {
  auto f = e.fields();
  tarnwell::etw_collector::callstacks::managed_method m;
  m.method_id = f.template get<0>();
  m.module_id = f.template get<1>();
  m.start = f.template get<2>();
  m.size = f.template get<3>();
  m.token = f.template get<4>();
  m.flags = f.template get<5>();
  m.method_namespace = f.template get<6>().u16();
  m.name = f.template get<7>().u16();
  m.signature = f.template get<8>().u16();
  return m;
}

template <class Provider, std::size_t N>
tarnwell::etw_collector::callstacks::managed_module module_of(const dispatched_event<Provider, N>& e) {
  using format = typename dispatched_event<Provider, N>::format;
  auto f = e.fields();
  tarnwell::etw_collector::callstacks::managed_module m;
  m.module_id = f.template get<0>();
  m.assembly_id = f.template get<1>();
  m.flags = f.template get<2>();
  m.path = f.template get<4>().u16();
  m.native_path = f.template get<5>().u16();
  m.load_time = e.header.timestamp;
  if constexpr (format::size >= 12) {
    m.identity.pdb = f.template get<7>();
    m.identity.pdb_age = f.template get<8>();
    m.identity.native_pdb = f.template get<10>();
    m.identity.native_pdb_age = f.template get<11>();
  }
  return m;
}

}  // namespace tw_prof::netcore
