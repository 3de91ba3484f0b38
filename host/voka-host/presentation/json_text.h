#pragma once
// The one way voka-host writes a JSON value as text: on one line, floats
// with a float's worth of digits (2.3, not 2.2999999523162842), UTF-8 as is.
#include <string>

#include <json/value.h>

std::string one_line_json(const Json::Value& v);
