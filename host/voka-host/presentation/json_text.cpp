#include "host/voka-host/presentation/json_text.h"

#include <json/writer.h>

std::string one_line_json(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    b["precision"] = 7;
    return Json::writeString(b, v);
}
