#pragma once

#include <httplib.h>

#include <string>

#include "web/recorder_child.h"

namespace quilltap::web {

struct Settings {
  std::string takes;     // every take gets a new folder here
  std::string fallback;  // empty: no backup folder
  std::string device;    // the device the page offers first
  std::string token;     // required on every request
};

/// The page, the API and the downloads, all behind the token. `settings` and
/// `recorder` must outlive `server`.
void installRoutes(httplib::Server& server, const Settings& settings, RecorderChild& recorder);

}  // namespace quilltap::web
