#include "web/takes.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace quilltap::web {
namespace {

namespace fs = std::filesystem;

std::uint32_t little32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Seconds of audio in the whole frames after the header of a RIFF or RF64
// WAV file; 0 for anything that is not one.
double wavSeconds(const fs::path& path, std::uintmax_t size) {
  unsigned char head[4096] = {};
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(head), sizeof head);
  std::size_t got = static_cast<std::size_t>(in.gcount());
  if (got < 12 || (std::memcmp(head, "RIFF", 4) && std::memcmp(head, "RF64", 4)) ||
      std::memcmp(head + 8, "WAVE", 4)) {
    return 0;
  }
  std::uint32_t rate = 0, block = 0;
  for (std::size_t pos = 12; pos + 8 <= got;) {
    std::uint32_t chunkSize = little32(head + pos + 4);
    if (!std::memcmp(head + pos, "fmt ", 4) && pos + 22 <= got) {
      rate = little32(head + pos + 12);
      block = head[pos + 20] | (head[pos + 21] << 8);
    } else if (!std::memcmp(head + pos, "data", 4)) {
      if (rate == 0 || block == 0 || size < pos + 8) return 0;
      return static_cast<double>((size - pos - 8) / block) / rate;
    }
    pos += 8 + static_cast<std::size_t>(chunkSize) + (chunkSize & 1);
  }
  return 0;
}

nlohmann::json listFiles(const fs::path& folder) {
  std::vector<fs::path> paths;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    if (fs::is_regular_file(entry.symlink_status(error))) paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  nlohmann::json files = nlohmann::json::array();
  for (const fs::path& path : paths) {
    std::uintmax_t size = fs::file_size(path, error);
    if (error) continue;
    files.push_back(
        {{"name", path.filename().string()}, {"size", size}, {"seconds", wavSeconds(path, size)}});
  }
  return files;
}

bool isPlainName(const std::string& part) {
  return !part.empty() && part != "." && part != ".." && part.find('/') == std::string::npos &&
         part.find('\0') == std::string::npos;
}

}  // namespace

std::string newTakeFolder(const std::string& takes, std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H.%M.%S", &local);
  std::string name = stamp;
  std::error_code error;
  for (int n = 2; fs::exists(fs::path(takes) / name, error); ++n) {
    name = std::string(stamp) + " " + std::to_string(n);
  }
  return name;
}

nlohmann::json listTakes(const std::string& takes) {
  std::vector<std::string> folders;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(takes, error)) {
    // Links are left out: what they lead to may lie outside the takes folder.
    if (fs::is_directory(entry.symlink_status(error))) {
      folders.push_back(entry.path().filename().string());
    }
  }
  std::sort(folders.rbegin(), folders.rend());  // names are date-times: newest first
  nlohmann::json list = nlohmann::json::array();
  for (const std::string& folder : folders) {
    list.push_back({{"folder", folder}, {"files", listFiles(fs::path(takes) / folder)}});
  }
  return list;
}

Download resolveDownload(const std::string& takes, const std::string& relative, std::string* path) {
  std::size_t slash = relative.find('/');
  if (slash == std::string::npos || !isPlainName(relative.substr(0, slash)) ||
      !isPlainName(relative.substr(slash + 1))) {
    return Download::outside;
  }
  std::error_code error;
  fs::path root = fs::canonical(takes, error);
  if (error) return Download::missing;
  fs::path real = fs::canonical(root / relative, error);
  if (error) return Download::missing;
  // Compared part by part: "/takes-old" must not pass for a child of "/takes".
  auto [rootEnd, realAt] = std::mismatch(root.begin(), root.end(), real.begin(), real.end());
  if (rootEnd != root.end() || realAt == real.end()) return Download::outside;
  if (!fs::is_regular_file(real, error)) return Download::missing;
  *path = real.string();
  return Download::found;
}

}  // namespace quilltap::web
