// Pieces of the JSON the commands print, shared between them.
#pragma once

#include <driver_statistics.h>
#include <image_check.h>

#include <nlohmann/json.hpp>

#include <exception>
#include <string>

namespace velmora::cli {

nlohmann::json checkJson(const agent::ImageCheck &check);
// The driver's statistics by name; numbers where the value is one.
nlohmann::json statisticsJson(const agent::DriverStatistics &stats);
// {"message"} and, for the driver's refusals, the command and its status or
// the backup state it ended in.
nlohmann::json errorJson(const std::exception &e);
// Prints the object on stdout, indented, with a newline.
void printJson(const nlohmann::json &object);

}  // namespace velmora::cli
