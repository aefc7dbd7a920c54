#include "writing/writer.h"

#include <atomic>
#include <chrono>
#include <memory>

#include "app/state.h"
#include "dispatch/semaphore.h"
#include "writing/failover.h"

namespace quilltap {
namespace {

// Keeps the shortest run of newest chunks that holds a second of audio, and
// besides every chunk the drive has not durably taken yet. Under `lock`.
void trimRecent(Recording& r) {
  const std::int64_t second = static_cast<std::int64_t>(r.sampleRate);
  std::int64_t afterFirst = 0;
  for (std::size_t k = 1; k < r.recent.size(); ++k) afterFirst += r.recent[k]->frames;
  while (r.recent.size() > 1 && afterFirst >= second &&
         r.recent.front()->sequence <= r.durableSequence) {
    r.recent.pop_front();
    afterFirst -= r.recent.front()->frames;
  }
}

// A chunk goes into every file of the Sink or into none: when one file
// refuses it, the files before it give it back, so that all files of a Sink
// hold the same audio and a retry or a failover's replay writes it once.
bool writeChunk(Sink& sink, const Chunk& chunk, std::string* description) {
  auto& files = sink.files();
  for (std::size_t i = 0; i < files.size(); ++i) {
    // A file is placed on the day's timeline by the first chunk it takes.
    bool placed = files[i]->framesWritten() > 0 ||
                  files[i]->place(chunk.takeStart, chunk.position, description);
    if (!placed || !files[i]->write(chunk.buffers[i], description)) {
      for (std::size_t j = 0; j < i; ++j) files[j]->truncate(files[j]->framesWritten() - chunk.frames);
      return false;
    }
  }
  return true;
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

bool syncFiles(Sink& sink, std::string* description) {
  for (auto& file : sink.files()) {
    if (!file->sync(description)) return false;
  }
  return true;
}

bool closeFiles(Sink& sink) {
  bool ok = true;
  std::string ignored;
  for (auto& file : sink.files()) ok = file->close(&ignored) && ok;
  sink.files().clear();
  return ok;
}

}  // namespace

bool drain(const SinkRef& sink) {
  Recording& r = rec();
  const std::int64_t second = static_cast<std::int64_t>(r.sampleRate);
  std::unique_lock<std::mutex> hold(r.lock);
  while (r.current == sink && !r.pending.empty()) {
    ChunkRef chunk = r.pending.front();
    hold.unlock();

    std::string description;
    if (!writeChunk(*sink, *chunk, &description)) {
      requestFailover("Writing to the drive failed (" + description + ")", sink);
      return false;
    }

    hold.lock();
    bool counted = r.current == sink && !r.pending.empty() && r.pending.front() == chunk;
    if (counted) {
      r.pending.pop_front();
      r.writtenFrames += chunk->frames;
      r.recent.push_back(chunk);
      trimRecent(r);
    }
    hold.unlock();

    if (counted) {
      sink->framesSinceSync += chunk->frames;
      if (syncDue(*sink, *chunk, second)) {
        if (!syncFiles(*sink, &description)) {
          sink->syncFailed = true;
          requestFailover("Writing to the drive failed (" + description + ")", sink);
          return false;
        }
        sink->framesSinceSync = 0;
        sink->lastSync = std::chrono::steady_clock::now();
        hold.lock();
        if (r.current == sink && !sink->syncFailed) {
          r.durableSequence = chunk->sequence;
          trimRecent(r);
        }
        hold.unlock();
      }
    }
    chunk.reset();
    hold.lock();
  }
  return true;
}

bool flushAndClose(const SinkRef& sink, double timeout) {
  struct Outcome {
    Semaphore done;
    std::atomic<bool> closed{false};
  };
  auto outcome = std::make_shared<Outcome>();
  sink->queue().async([sink, outcome] {
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
