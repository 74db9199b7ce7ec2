#include "bridge/profiler_bridge_impl.h"

#include "bridge/bridge_file_factory.h"
#include "tw/error/exception_text.h"
#include "tw/error/file_write_error.h"
#include "tw/progress/progress_handler.h"

namespace tw_prof {

namespace {

// Every save of every bridge in the process, one at a time.
std::mutex& bridge_operation_mux() {
  static std::mutex m;
  return m;
}

}  // namespace

window_settings profiler_bridge::window_of(const bridge_command& command) const {
  auto params = command.cursor();
  if (params.at_end() && window_.windowed()) return window_;
  return read_window_settings(params);
}

void profiler_bridge::create_new_snapshot(const window_settings& window) {
  if (!profiler_) throw std::runtime_error("Profiler is empty");
  if (snapshot_ && snapshot_->is_started()) throw std::runtime_error("Snapshot already exists");
  file_ids_.clear();
  file_paths_.clear();
  main_file_id_ = {};
  auto factory = std::make_unique<bridge_file_factory>([this](const file_request& r) { return request_file(r); },
                                                        [this] { remove_snapshot_files(); }, this);
  try {
    snapshot_ = profiler_->start_snapshot(std::move(factory), env_, window);
    window_ = window;
  } catch (...) {
    // The files the host named before the failure belong to no snapshot.
    remove_snapshot_files();
    bridge_file_factory::release_files(this);
    throw;
  }
}

bool profiler_bridge::snapshot_refused(const std::function<void()>& operation) {
  try {
    operation();
    return false;
  } catch (const tw::file_write_error& e) {
    // A full disk or a file the host should not have named: the host hears
    // of it, and the next snapshot may go elsewhere.
    TW_LOG(error) << prefix_ << tw::current_exception_to_string();
    const std::string snapshot = file_paths_.empty() ? std::string("of the process") : file_paths_.front().string();
    send_alert(std::make_exception_ptr(tw::presentable_error(
        "Cannot write the snapshot " + snapshot + ": " + e.code().message(), tw::presentable_error::error, 0)));
  } catch (const file_in_use&) {
    // The host has heard of it with the file request.
  } catch (const std::invalid_argument& e) {
    // Settings the profiler cannot take (a trigger it does not understand).
    send_alert(std::make_exception_ptr(tw::presentable_error(e.what(), tw::presentable_error::error, 0)));
  }
  drop();
  return true;
}

void profiler_bridge::remove_snapshot_files() noexcept {
  for (const auto& path : file_paths_) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
}

void profiler_bridge::drop() {
  if (snapshot_ && snapshot_->is_started()) snapshot_->reset();
  snapshot_.reset();
  file_ids_.clear();
  bridge_file_factory::release_files(this);
}

void profiler_bridge::save() {
  if (!snapshot_) throw std::runtime_error("No snapshot");
  std::lock_guard operation(bridge_operation_mux());
  bridge_params started;
  started.put(std::uint8_t{1}).guid(env_.session_id_1).put(env_.id_kind).guid(env_.session_id_2).put(std::uint8_t{0});
  answer(host_bridge_answer::operation_started, started);
  bool cancelled = false;
  auto report = [&](unsigned done, unsigned total) {
    send_notifications();
    bridge_params progress;
    progress.put(std::uint32_t{done}).put(std::uint32_t{total}).sized_string("").counter(0);
    answer(host_bridge_answer::operation_progress, progress);
    if (auto command = read_command_if_any()) {
      if (command->code == host_bridge_command::cancel_operation) {
        auto params = command->cursor();
        const auto way = params.remaining() ? static_cast<core_close_way>(params.byte()) : core_close_way::thrw;
        log_info("Snapshot processing has been cancelled, close way: ", tw_prof::to_string(way));
        cancelled = true;
      } else {
        TW_LOG(warning) << prefix_ << "Unexpected command during snapshot processing: "
                        << tw_prof::to_string(command->code);
      }
    }
    return !cancelled;
  };
  progress_handler_impl handler(report);
  handler.cancellable = true;
  bool failed = false;
  try {
    failed = snapshot_refused([&] { snapshot_->save_with_progress(handler); });
  } catch (const cancel_processing&) {
    // The files are gone with the cancellation: a snapshot is whole or absent.
  }
  send_notifications();
  answer(host_bridge_answer::operation_finished);
  if (failed) {
    TW_LOG(warning) << prefix_ << "The snapshot could not be saved";
  } else if (cancelled) {
    TW_LOG(warning) << prefix_ << "Snapshot processing was cancelled by the client";
  } else {
    bridge_params done;
    done.guid(env_.session_id_1).put(env_.id_kind).guid(env_.session_id_2).guid(main_file_id_);
    done.counter(static_cast<std::uint32_t>(file_ids_.size()));
    for (const auto& id : file_ids_) done.guid(id);
    answer(host_bridge_answer::snapshot_done, done);
  }
  snapshot_.reset();
  file_ids_.clear();
  bridge_file_factory::release_files(this);
}

std::filesystem::path profiler_bridge::request_file(const file_request& request) {
  {
    std::unique_lock lock(socket_mutex_);
    if (!waiting_ || io_thread_.load() == std::this_thread::get_id()) return exchange_file_request(request);
  }
  // The loop sleeps on the socket: the request runs there, in turn.
  std::filesystem::path path;
  apply_api_command(api_command::execute, [&] {
    std::lock_guard lock(socket_mutex_);
    path = exchange_file_request(request);
  });
  return path;
}

std::filesystem::path profiler_bridge::exchange_file_request(const file_request& request) {
  const std::uint32_t id = request_id_++;
  const auto* host = std::get_if<host_file>(&request);
  bridge_params params;
  params.put(id).put(bridge_constants::snapshot_file_handle_type);
  if (host) {
    write_answer(this, socket_, host_bridge_answer::handle_request, params);
  } else {
    params.put(static_cast<std::uint32_t>(std::stoul(std::get<slave_file>(request).name)));
    write_answer(this, socket_, host_bridge_answer::handle_request_slave, params);
  }
  const auto command = read_command(this, socket_, buffer_);
  if (command.code != host_bridge_command::handle)
    throw std::runtime_error("Unexpected command: " + tw_prof::to_string(command.code));
  auto cursor = command.cursor();
  const auto handle = read_handle(cursor);
  if (handle.request_id != id) throw std::runtime_error("Unexpected handle request id: " + std::to_string(handle.request_id));
  if (handle.file_type != bridge_constants::identified_file)
    throw std::runtime_error("Unexpected file type. Identified file was expected: " +
                             std::to_string(handle.file_type));
  // Refused before it is ours (the files of a failed start are removed), and
  // told to the host whichever thread asked for the file.
  try {
    bridge_file_factory::check_free(handle.path);
  } catch (const file_in_use& e) {
    TW_LOG(error) << prefix_ << e.what();
    send_alert(std::make_exception_ptr(tw::presentable_error(e.what(), tw::presentable_error::error, 0)));
    throw;
  }
  if (host && host->main)
    main_file_id_ = handle.file_id;
  else
    file_ids_.push_back(handle.file_id);
  file_paths_.push_back(handle.path);
  return handle.path;
}

}  // namespace tw_prof
