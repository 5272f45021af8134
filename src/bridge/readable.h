// readable(): the one French sentence the producer reads for any error raised
// while talking to the bridge or analysing audio.
#pragma once

#include <exception>
#include <string>

namespace vantorel {

std::string readable(const std::exception& error);
std::string readable(std::exception_ptr error);

inline constexpr const char* notAnsweringText = "Ableton ne répond pas. Vérifie que VantorelBridge est sélectionné.";

}  // namespace vantorel
