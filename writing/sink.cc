#include "writing/sink.h"

#include <cstdio>

#include "common/text.h"

namespace quilltap {
namespace {

bool forbidden(char32_t cp) {
  switch (cp) {
    case '/':
    case '\\':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
      return true;
    default:
      return isControlOrFormat(cp);
  }
}

}  // namespace

std::string safeFileName(std::string_view name) {
  std::string replaced;
  for (char32_t cp : codePoints(validUtf8(name))) appendUtf8(replaced, forbidden(cp) ? U'_' : cp);
  std::string trimmed = trimSpaces(replaced);
  return trimmed.empty() ? "Track" : trimmed;
}

Sink::Sink(std::string dir, std::vector<std::string> paths,
           std::vector<std::unique_ptr<TrackFile>> files)
    : dir_(std::move(dir)),
      paths_(std::move(paths)),
      files_(std::move(files)),
      queue_(std::make_unique<SerialQueue>("quilltap writer")),
      syncQueue_(std::make_unique<SerialQueue>("quilltap sync")) {}

Status Sink::create(FileSystem& drive, const Options& options, const std::string& dir,
                    const std::string& suffix, SinkRef* created) {
  if (Status made = drive.createFolders(dir); !made.ok()) return made;
  std::vector<std::string> paths;
  std::vector<std::unique_ptr<TrackFile>> files;
  for (std::size_t k = 0; k < options.outputs.size(); ++k) {
    const Output& output = options.outputs[k];
    std::string base = safeFileName(output.name);
    if (!options.mixing) {
      char number[24];
      std::snprintf(number, sizeof number, "%02zu ", k + 1);
      base = number + base;
    }
    std::string path = dir + (dir.ends_with('/') ? "" : "/") + base + suffix + ".wav";
    std::unique_ptr<TrackFile> file;
    Status opened = TrackFile::create(drive, path, output.name, options.sampleRate,
                                      static_cast<int>(output.channels), options.bitDepth, &file);
    if (!opened.ok())
      return Status::error("Could not create " + path + ": " + opened.description());
    files.push_back(std::move(file));
    paths.push_back(std::move(path));
  }
  created->reset(new Sink(dir, std::move(paths), std::move(files)));
  return Status();
}

}  // namespace quilltap
