#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "web/api.h"

namespace quilltap::web {

/// The arguments of `quilltap record` for the body of POST /api/record, the take
/// going into `folder`; nullopt with `problem` set when the body is not what
/// the API asks for. Channel numbers are not checked: quilltap knows the device
/// and says itself which channel does not exist.
std::optional<std::vector<std::string>> recordArguments(const nlohmann::json& body,
                                                        const Settings& settings,
                                                        const std::string& folder,
                                                        std::string* problem);

/// A gain as the control channel reads it (C-locale number, shortest form).
std::string gainText(double value);

}  // namespace quilltap::web
