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
// Uses the fastest search loop that the processor runs.
std::size_t find_header_key(std::string_view text);

// The search loops compiled in, each giving find_header_key's answer, so
// that every one can be checked whatever the processor picks.
enum class KeySearch { bytewise, sse2, avx2 };
bool key_search_runs_here(KeySearch search);
std::size_t find_header_key_with(KeySearch search, std::string_view text);
