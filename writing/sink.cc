#include "writing/sink.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "app/state.h"
#include "app/text.h"

namespace quilltap {
namespace {

bool forbidden(char32_t cp) {
  switch (cp) {
    case '/': case '\\': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
      return true;
    default:
      return isControlOrFormat(cp);
  }
}

// mkdir -p; false with errno set.
bool makeFolders(const std::string& dir) {
  struct stat info;
  if (stat(dir.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  std::size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (!makeFolders(dir.substr(0, slash))) return false;
  }
  if (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) {
    if (stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
    errno = ENOTDIR;
  }
  return false;
}

}  // namespace

std::string safeFileName(std::string_view name) {
  std::string replaced;
  for (char32_t cp : codePoints(validUtf8(name))) appendUtf8(replaced, forbidden(cp) ? U'_' : cp);
  std::string trimmed = trimSpaces(replaced);
  return trimmed.empty() ? "Track" : trimmed;
}

Sink::Sink(std::string dir, std::vector<std::string> paths, std::vector<std::unique_ptr<TrackFile>> files)
    : dir_(std::move(dir)),
      paths_(std::move(paths)),
      files_(std::move(files)),
      queue_(std::make_unique<SerialQueue>("quilltap.writer." +
                                           std::to_string(static_cast<std::int64_t>(
                                               std::hash<std::string>{}(dir_))))) {}

std::shared_ptr<Sink> Sink::create(const std::string& dir, const std::string& suffix, Error* error) {
  const Recording& r = rec();
  if (!makeFolders(dir)) {
    *error = Error{"posix", errno, dir + ": " + std::strerror(errno)};
    return nullptr;
  }
  std::vector<std::string> paths;
  std::vector<std::unique_ptr<TrackFile>> files;
  for (std::size_t k = 0; k < r.outputs.size(); ++k) {
    const Output& output = r.outputs[k];
    std::string base = safeFileName(output.name);
    if (!r.mixing) {
      char number[24];
      std::snprintf(number, sizeof number, "%02zu ", k + 1);
      base = number + base;
    }
    std::string path = dir + (dir.ends_with('/') ? "" : "/") + base + suffix + ".wav";
    std::string description;
    auto file = TrackFile::create(path, output.name, r.sampleRate,
                                  static_cast<int>(output.channels), r.bitDepth, &description);
    if (!file) {
      *error = Error{kErrorDomain, kTrackFileNotCreated, "Could not create " + path + ": " + description};
      return nullptr;
    }
    files.push_back(std::move(file));
    paths.push_back(std::move(path));
  }
  return std::shared_ptr<Sink>(new Sink(dir, std::move(paths), std::move(files)));
}

}  // namespace quilltap
