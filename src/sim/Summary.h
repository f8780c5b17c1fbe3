#pragma once
// The end-of-run report: traffic, the grids the client set, and the private
// messages each driver received.

#include <string>

#include "sim/SimServer.h"

namespace pm::sim {

std::string summaryText(const SimServer& server);

} // namespace pm::sim
