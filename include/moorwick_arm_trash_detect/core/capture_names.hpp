// Time stamps and piece tags of the debug capture file names.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace moorwick {

// Local time formatted "%Y-%m-%d-%H-%M-%S".
std::string GetTimeString(std::chrono::system_clock::time_point when);
// The same for the current time; each debug file takes a fresh one.
std::string GetCurrentTimeString();

// Tag of the k-th piece of a frame in debug file names: "[k]".
std::string PieceTag(std::size_t k);

}  // namespace moorwick
