#include "collector/src/collector/snapshot.h"

#include "tw/log/log.h"
#include "tw/error/exception_text.h"
#include "tw/progress/fake_progress.h"

namespace tw_prof::mono {

void snapshot::stop() {
  if (!held_) return;
  auto subscription = std::move(subscription_);
  held_ = false;
  if (subscription) subscription();
}

void snapshot::save() {
  stop();
  // The index is written as the last holder lets go; a file that could not
  // be written whole fails the save.
  files_.reset();
  if (const auto failure = status_->failure()) std::rethrow_exception(failure);
}

void snapshot::save_with_progress(progress_handler& handler) {
  try {
    run_under_fake_progress([this] { save(); }, handler);
  } catch (...) {
    // The save ran to its end before the cancellation came back (the fake
    // progress waits for it), so every file is closed and can go.
    try {
      if (factory_) factory_->remove_all();
    } catch (...) {
      TW_LOG(error) << "Failed to remove the files of an abandoned snapshot: " << tw::current_exception_to_string();
    }
    throw;
  }
}

void snapshot::reset() {
  if (!held_) return;
  // Dropped whatever the stop meets: a full disk must not keep the files.
  try {
    stop();
  } catch (...) {
    TW_LOG(warning) << "Stopping a dropped snapshot: " << tw::current_exception_to_string();
  }
  if (files_) files_->drop();
  files_.reset();
}

}  // namespace tw_prof::mono
