#pragma once
// Reading and writing whole files for the container commands, and number parsing for options.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kfstool {

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path);
bool WriteWholeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Decimal, or hexadecimal with a 0x prefix; nullopt when not a number or above `max`.
std::optional<std::uint64_t> ParseNumber(const std::string& text, std::uint64_t max);

}  // namespace kfstool
