#include "writing/writer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

#include "dispatch/semaphore.h"

namespace quilltap {
namespace {

// A group of chunks goes into every file of the Sink or into none: when one
// file refuses it, the files before it give it back, so that all files of a
// Sink hold the same audio and a retry or a failover's replay writes it once.
Status writeGroup(Sink& sink, const std::vector<ChunkRef>& group, std::int64_t frames) {
  auto& files = sink.files();
  std::vector<const PcmBuffer*> runs(group.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    for (std::size_t k = 0; k < group.size(); ++k) runs[k] = &group[k]->buffers[i];
    // A file is placed on the day's timeline by the first chunk it takes.
    Status written = files[i]->framesWritten() > 0
                         ? Status()
                         : files[i]->place(group[0]->takeStart, group[0]->position);
    if (written.ok()) written = files[i]->write(runs);
    if (!written.ok()) {
      for (std::size_t j = 0; j < i; ++j) files[j]->truncate(files[j]->framesWritten() - frames);
      return written;
    }
  }
  return Status();
}

// About once a second of audio, the files are made durable. Audio captured
// offline comes faster than real time: then at most about once a second of
// wall time, but never more than ten seconds of audio apart, which bounds
// what `recent` has to keep.
bool syncDue(const Sink& sink, const Chunk& newest, std::int64_t second) {
  if (sink.framesSinceSync < second) return false;
  return !newest.offline || sink.framesSinceSync >= 10 * second ||
         std::chrono::steady_clock::now() - sink.lastSync >= std::chrono::milliseconds(900);
}

// Where the drive syncs as a whole, the last file's close makes all of them
// durable at once.
bool closeFiles(Sink& sink) {
  auto& files = sink.files();
  const bool together = !files.empty() && files.back()->drive().syncsWholeDrive();
  bool ok = true;
  for (std::size_t i = 0; i < files.size(); ++i) {
    using Durable = TrackFile::Durable;
    const Durable how = !together              ? Durable::file
                        : i + 1 < files.size() ? Durable::later
                                               : Durable::drive;
    ok = files[i]->close(how).ok() && ok;
  }
  files.clear();
  return ok;
}

}  // namespace

// Keeps the shortest run of newest chunks that holds a second of audio, and
// besides every chunk the drive has not durably taken yet.
void Writer::trimRecent() {
  const std::int64_t second = static_cast<std::int64_t>(options_.sampleRate);
  std::deque<ChunkRef>& recent = take_.recent;
  std::int64_t afterFirst = 0;
  for (std::size_t k = 1; k < recent.size(); ++k) afterFirst += recent[k]->frames;
  while (recent.size() > 1 && afterFirst >= second &&
         recent.front()->sequence <= take_.durableSequence) {
    recent.pop_front();
    afterFirst -= recent.front()->frames;
  }
}

void Writer::fail(const std::string& description, const SinkRef& sink) {
  onFailure_("Writing to the drive failed (" + description + ")", sink);
}

std::pair<std::size_t, std::int64_t> Writer::nextGroup() const {
  std::size_t count = 0;
  std::int64_t frames = 0;
  for (; count < take_.pending.size() && !wholeGroup(frames); ++count)
    frames += take_.pending[count]->frames;
  return {count, frames};
}

bool Writer::drain(const SinkRef& sink, Drain how) {
  const std::int64_t second = static_cast<std::int64_t>(options_.sampleRate);
  std::vector<ChunkRef> group;
  MutexLock hold(take_.lock);
  while (take_.current == sink && !take_.pending.empty()) {
    const auto [count, frames] = nextGroup();
    if (!wholeGroup(frames) && how == Drain::groups) break;
    group.assign(take_.pending.begin(), take_.pending.begin() + count);
    hold.unlock();

    if (Status written = writeGroup(*sink, group, frames); !written.ok()) {
      fail(written.description(), sink);
      finishSync(sink, false);  // the files may close after this
      return false;
    }

    hold.lock();
    const bool counted = take_.current == sink && take_.pending.size() >= group.size() &&
                         std::equal(group.begin(), group.end(), take_.pending.begin());
    if (counted) {
      take_.pending.erase(take_.pending.begin(), take_.pending.begin() + group.size());
      take_.writtenFrames += frames;
      take_.recent.insert(take_.recent.end(), group.begin(), group.end());
      trimRecent();
    }
    hold.unlock();

    if (counted) {
      sink->framesSinceSync += frames;
      if (syncDue(*sink, *group.back(), second)) {
        if (!finishSync(sink, true)) return false;
        startSync(sink, group.back()->sequence);
      }
    }
    group.clear();
    hold.lock();
  }
  hold.unlock();
  return finishSync(sink, true);
}

// Headers first, here: libsndfile is not shared between threads. Then the
// drive syncs all files together where it can; else every file's writeback
// starts at once and the syncs wait on that one batch.
void Writer::startSync(const SinkRef& sink, std::int64_t sequence) {
  auto job = std::make_shared<Sink::InFlightSync>();
  job->sequence = sequence;
  std::vector<WritableFile*> drives;
  for (auto& file : sink->files()) {
    if (job->result.ok()) job->result = file->updateHeader();
    drives.push_back(&file->drive());
  }
  sink->syncing = job;
  sink->framesSinceSync = 0;
  sink->lastSync = std::chrono::steady_clock::now();
  if (!job->result.ok()) {
    job->done.signal();
    return;
  }
  sink->syncQueue().async([job, drives = std::move(drives)] {
    for (WritableFile* drive : drives) drive->startWriteback();
    if (!drives.empty() && drives[0]->syncsWholeDrive()) {
      for (WritableFile* drive : drives) {
        if (job->result.ok()) job->result = drive->waitWritten();
      }
      if (job->result.ok()) job->result = drives[0]->syncDrive();
    } else {
      for (WritableFile* drive : drives) {
        if (job->result.ok()) job->result = drive->sync();
      }
    }
    job->done.signal();
  });
}

// Waits for the sync in flight, if any; a good one moves the durable point.
// A failed one is reported when `report`, and never forgotten.
bool Writer::finishSync(const SinkRef& sink, bool report) {
  std::shared_ptr<Sink::InFlightSync> job = std::move(sink->syncing);
  sink->syncing.reset();
  if (!job) return true;
  job->done.wait();
  if (!job->result.ok()) {
    sink->syncFailed = true;
    if (report) fail(job->result.description(), sink);
    return false;
  }
  MutexLock hold(take_.lock);
  if (take_.current == sink && !sink->syncFailed) {
    take_.durableSequence = job->sequence;
    trimRecent();
  }
  return true;
}

void Writer::queueDrain(const SinkRef& sink, Drain how) {
  if (how == Drain::groups) {
    // Capture asks after every chunk: the writer wakes only for a whole group.
    MutexLock hold(take_.lock);
    if (!wholeGroup(nextGroup().second)) return;
  }
  sink->queue().async([this, sink, how] { drain(sink, how); });
}

bool Writer::flushAndClose(const SinkRef& sink, double timeout) {
  struct Outcome {
    Semaphore done;
    std::atomic<bool> closed{false};
  };
  auto outcome = std::make_shared<Outcome>();
  sink->queue().async([this, sink, outcome] {
    // The files are closed also after a failed write, so that each header
    // describes what its file holds; what did not reach them is still in
    // `pending` and `recent` for the backup folder.
    bool drained = drain(sink);
    bool ok = closeFiles(*sink) && drained && !sink->syncFailed;
    outcome->closed.store(ok);
    outcome->done.signal();
  });
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(timeout));
  if (!outcome->done.waitUntil(deadline)) return false;
  return outcome->closed.load();
}

}  // namespace quilltap
