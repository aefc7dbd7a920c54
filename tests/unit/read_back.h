#pragma once

#include <sndfile.h>

#include <string>
#include <vector>

namespace quilltap {

/// What libsndfile reads back from a finished (or still open) file.
struct ReadBack {
  bool opened = false;
  SF_INFO info = {};
  std::vector<float> samples;  // interleaved
  SF_BROADCAST_INFO bext = {};
};

inline ReadBack readFloat(const std::string& path) {
  ReadBack back;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &back.info);
  if (!file) return back;
  back.opened = true;
  sf_command(file, SFC_GET_BROADCAST_INFO, &back.bext, sizeof back.bext);
  back.samples.resize(static_cast<std::size_t>(back.info.frames * back.info.channels));
  sf_count_t got = sf_readf_float(file, back.samples.data(), back.info.frames);
  back.samples.resize(static_cast<std::size_t>(got * back.info.channels));
  sf_close(file);
  return back;
}

}  // namespace quilltap
