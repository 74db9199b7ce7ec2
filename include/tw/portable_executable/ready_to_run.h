#pragma once

// The precompiled methods of a ReadyToRun image. The runtime announces the
// methods it compiles, and a rundown lists those compiled before a session,
// but code that was precompiled into a framework image and never recompiled
// is announced by nobody: a sample that stops in it is resolved through the
// image itself, from its method entry points and runtime functions, with
// names from its metadata.

#include "tw/portable_executable/parser.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tw {

// One method's code: its main body, by RVA.
struct code_range {
  std::uint32_t begin_rva = 0;
  std::uint32_t end_rva = 0;
  std::uint32_t token = 0;  // MethodDef
};

struct ready_to_run_method {
  std::uint32_t begin_rva = 0;
  std::uint32_t end_rva = 0;  // of the method's main body and its funclets
  std::uint32_t token = 0;    // MethodDef
  std::string type_namespace;
  std::string type_name;
  std::string name;
};

class method_names;
class rva_span;

// The code tables of one image, read once; names are looked up only for the
// methods asked about (a framework image has tens of thousands).
class ready_to_run_code {
 public:
  // `image` must outlive this object. Throws std::runtime_error for an image
  // that lies about its own layout.
  explicit ready_to_run_code(const portable_executable& image);
  ~ready_to_run_code();
  ready_to_run_code(const ready_to_run_code&) = delete;
  ready_to_run_code& operator=(const ready_to_run_code&) = delete;

  // The precompiled methods (those of the MethodDef entry points) without
  // their names, by begin address. Empty for an image without native code
  // or of a machine other than x64.
  const std::vector<code_range>& methods() const noexcept { return methods_; }
  // The method whose code holds `rva`, named.
  std::optional<ready_to_run_method> find(std::uint32_t rva) const;
  ready_to_run_method named(const code_range& code) const;

 private:
  void read_instances(const rva_span& table, std::uint32_t rva, const rva_span& functions, std::uint32_t functions_rva,
                      std::uint32_t function_count);

  std::vector<code_range> methods_;
  std::unique_ptr<method_names> names_;
};

// Every precompiled method of the image, named.
std::vector<ready_to_run_method> read_ready_to_run_methods(const portable_executable& image);

// Names MethodDef rows from a module's metadata root ("BSJB"), as a snapshot
// keeps it: where a method a snapshot names comes from.
class metadata_method_names {
 public:
  // `metadata` must outlive this object. Throws std::runtime_error for
  // metadata that lies about its own layout.
  explicit metadata_method_names(std::span<const std::uint8_t> metadata);
  ~metadata_method_names();
  metadata_method_names(const metadata_method_names&) = delete;
  metadata_method_names& operator=(const metadata_method_names&) = delete;
  metadata_method_names(metadata_method_names&&) noexcept;

  // The MethodDef `token` (table 0x06) named; empty names for a row the
  // metadata does not hold. Throws std::runtime_error where a row's cells
  // leave the tables.
  ready_to_run_method named(std::uint32_t token) const;

 private:
  std::unique_ptr<method_names> names_;
};

}  // namespace tw
