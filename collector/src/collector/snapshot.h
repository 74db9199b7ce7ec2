#pragma once

// The object handed out for a started snapshot: save it or drop it.

#include "collector/src/collector/multifile_snapshot.h"
#include "tw/progress/progress_handler.h"

#include <functional>
#include <memory>

namespace tw_prof {

class snapshot {
 public:
  virtual ~snapshot() = default;
  virtual void save() = 0;
  virtual void save_with_progress(progress_handler& handler) = 0;
  virtual void reset() = 0;
  virtual bool is_started() const = 0;
  // A flight recording's snapshot: whether the recording goes on after this
  // one is saved or dropped, for the next snapshot of the same window.
  virtual bool windowed() const { return false; }
  virtual void continues(bool) {}
};

namespace mono {

// The subscription stops collection for this snapshot; saving then lets the
// index be written when the last writer lets go, resetting removes the files.
// A save that fails or is cancelled removes every file it had written: a
// snapshot is either complete or absent.
class snapshot final : public tw_prof::snapshot {
 public:
  snapshot(std::function<void()> subscription, std::shared_ptr<multifile_snapshot> files)
      : subscription_(std::move(subscription)), held_(true), files_(std::move(files)),
        factory_(files_->factory()), status_(files_->status()) {}

  void save() override;
  void save_with_progress(progress_handler& handler) override;
  void reset() override;
  bool is_started() const override { return true; }

 private:
  void stop();

  std::function<void()> subscription_;
  bool held_;
  std::shared_ptr<multifile_snapshot> files_;
  std::shared_ptr<file_factory> factory_;
  std::shared_ptr<write_status> status_;
};

}  // namespace mono
}  // namespace tw_prof
