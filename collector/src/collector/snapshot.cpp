#include "collector/src/collector/snapshot.h"

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
  files_.reset();
}

void snapshot::save_with_progress(progress_handler& handler) {
  run_under_fake_progress([this] { save(); }, handler);
}

void snapshot::reset() {
  if (!held_) return;
  stop();
  if (files_) files_->drop();
  files_.reset();
}

}  // namespace tw_prof::mono
