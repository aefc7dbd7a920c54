#pragma once

#include <ctime>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace quilltap::web {

/// A new folder name for a take started at `when`, local time, like
/// "2026-12-06 21.04.33"; " 2", " 3", ... is added while `takes` already has a
/// folder of that name (quilltap would overwrite its files).
std::string newTakeFolder(const std::string& takes, std::time_t when);

/// The take folders under `takes`, newest first: [{"folder", "files": [{"name",
/// "size", "seconds"}]}]. A file's seconds count the whole frames present after
/// its header, so that the files of a recorder that was killed are shown as
/// they are, even where their header lags behind.
nlohmann::json listTakes(const std::string& takes);

/// Finds `relative` ("<folder>/<file>", already percent-decoded) inside
/// `takes`: found (with its real path in `path`) only for a regular file whose
/// real path lies inside `takes`; outside for "..", absolute paths, extra or
/// empty parts and symlinks that lead out; missing when nothing is there.
enum class Download { found, outside, missing };
Download resolveDownload(const std::string& takes, const std::string& relative, std::string* path);

}  // namespace quilltap::web
