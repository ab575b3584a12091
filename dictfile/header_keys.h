// Finding the two header keys in a stretch of bytes, fast enough that a
// dictionary without a header can be searched to its end at memory speed.
#pragma once

#include <cstddef>
#include <string_view>

inline constexpr std::string_view VERSION_KEY = "VERSION";
inline constexpr std::string_view HEADER_END_KEY = "DGD_END";
inline constexpr std::size_t HEADER_KEY_SIZE = 7; // both keys have this length

// Position of the first "VERSION" or "DGD_END" that lies wholly within text,
// or text.size() when there is none. Zero bytes are searched like any other.
std::size_t find_header_key(std::string_view text);
