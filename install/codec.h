// The compressions that publishers' archives come in, read and written
// through the libraries' own stream interfaces and checks: gzip (zlib), xz
// (liblzma), zstd (libzstd). A compressed archive is read to the end of its
// compressed data, its checksums and trailer checked, so that damage shows
// before anything from it counts as whole; and its memory is capped, so that
// no archive can take the run's.
#pragma once

#include "io.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

enum class Compression { none, gzip, xz, zstd };

// The most that a decompressor holds, whatever the archive asks for: an xz
// dictionary of 8 MiB (its default preset, -6, and every preset below it)
// in 10 MiB, and a zstd window of 8 MiB (its levels 1 to 19, without --long).
inline constexpr std::uint64_t MOST_XZ_MEMORY = std::uint64_t{10} << 20;
inline constexpr int MOST_ZSTD_WINDOW_LOG = 23;

// The compression's name, for messages.
std::string_view compression_name(Compression compression);

class Decompressor {
  public:
    Decompressor();
    ~Decompressor();
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;

    // Reads the compressed data of fd from where it stands, the compression
    // told by its first bytes (none when they are no compression's); false,
    // with error(), when the library cannot start.
    bool open(int fd);

    // The next decompressed bytes, as many as fill bytes unless the data
    // ends; error set (and error() saying why, in the library's words)
    // where the data is damaged or cut short.
    IoResult read(std::span<unsigned char> bytes);

    // Reads what is left of the compressed data, discarding it, and checks
    // that it ends whole: its last checksums and trailer, nothing after
    // them. false, with error(), when it does not.
    bool finish();

    // Skips count bytes of an uncompressed file by seeking: how many it
    // skipped (0: none, and the caller reads through them).
    std::int64_t skip(std::int64_t count);

    [[nodiscard]] Compression compression() const;
    // Bytes of the file read so far, compressed as they lie.
    [[nodiscard]] std::int64_t consumed() const;
    [[nodiscard]] const std::string& error() const;

  private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
};

class Compressor {
  public:
    Compressor();
    ~Compressor();
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    // Writes to fd, compressed as compression says, each with the checks
    // that its readers test: gzip's CRC-32, xz's CRC-64, zstd's checksum.
    bool open(int fd, Compression compression);
    bool write(std::span<const unsigned char> bytes);
    // Ends the compressed data.
    bool close();
    [[nodiscard]] const std::string& error() const;

  private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
};
