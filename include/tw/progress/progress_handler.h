#pragma once

// What a long operation (saving a snapshot) reports its progress to and
// learns of cancellation from. One node per progress kind; this library
// reports only kind 0 and passes parameter records through unchanged.

#include <cstdint>
#include <exception>
#include <type_traits>
#include <utility>

namespace tw_prof {

enum class progress_id : std::uint32_t {
  general = 0,
  id_1 = 1,
  id_2 = 2,
  id_256 = 256,
  id_257 = 257,
  id_258 = 258,
  id_259 = 259,
};

template <progress_id Id>
struct progress_params {};

template <progress_id Id>
class progress_node {
 public:
  virtual ~progress_node() = default;
  // true = go on.
  virtual bool on_progress(unsigned done, unsigned total, const progress_params<Id>& params) = 0;
};

class progress_handler : public progress_node<progress_id::general>,
                         public progress_node<progress_id::id_1>,
                         public progress_node<progress_id::id_2>,
                         public progress_node<progress_id::id_256>,
                         public progress_node<progress_id::id_257>,
                         public progress_node<progress_id::id_258>,
                         public progress_node<progress_id::id_259> {
 public:
  template <progress_id Id>
  bool report(unsigned done, unsigned total, const progress_params<Id>& params) {
    return static_cast<progress_node<Id>&>(*this).on_progress(done, total, params);
  }

  bool cancellable = false;
  // Weights of the fake progress: reports are a*k + (k-100)*c of b*k.
  std::uint32_t a = 0;
  std::uint32_t b = 1;
  std::uint32_t c = 1;
};

// Every node forwards (done, total) to f, which returns whether to go on.
template <class F>
class progress_handler_impl final : public progress_handler {
 public:
  explicit progress_handler_impl(F f) : f_(std::move(f)) {}

  bool on_progress(unsigned d, unsigned t, const progress_params<progress_id::general>&) override { return f_(d, t); }
  bool on_progress(unsigned d, unsigned t, const progress_params<progress_id::id_1>&) override { return f_(d, t); }
  bool on_progress(unsigned d, unsigned t, const progress_params<progress_id::id_2>&) override { return f_(d, t); }
  bool on_progress(unsigned d, unsigned t, const progress_params<progress_id::id_256>&) override { return f_(d, t); }
  bool on_progress(unsigned d, unsigned t, const progress_params<progress_id::id_257>&) override { return f_(d, t); }
  bool on_progress(unsigned d, unsigned t, const progress_params<progress_id::id_258>&) override { return f_(d, t); }
  bool on_progress(unsigned d, unsigned t, const progress_params<progress_id::id_259>&) override { return f_(d, t); }

 private:
  F f_;
};

// Thrown when a progress report says stop and the operation may be cancelled.
class cancel_processing : public std::exception {
 public:
  const char* what() const noexcept override { return "Processing is cancelled"; }
};

}  // namespace tw_prof
